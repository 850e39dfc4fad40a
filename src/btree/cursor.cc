#include "btree/cursor.h"

#include <string>

#include "btree/btree.h"
#include "btree/node.h"
#include "pager/pager.h"

namespace vbk {

Result<void> Cursor::rewind() {
  clear();
  return descend_leftmost(root_);
}

Result<void> Cursor::descend_leftmost(uint32_t pgno) { return descend(pgno, std::nullopt); }

Result<void> Cursor::descend(uint32_t pgno, std::optional<int64_t> target) {
  while (true) {
    if (stack_.size() >= static_cast<size_t>(btree::kMaxDepth)) {
      return std::unexpected(btree::too_deep());
    }
    PageRef page = VBK_TRY(pager_->get_page(pgno));
    PageRead r = page.read();
    if (VBK_TRY(btree::table_page_is_leaf(r.bytes(), pgno))) {
      const size_t next = target ? VBK_TRY(node::leaf_find(r.bytes(), *target)).index : 0;
      position_ = Position{pgno, next};
      return {};
    }
    const size_t slot = target ? VBK_TRY(node::interior_child_index(r.bytes(), *target)) : 0;
    const uint32_t child = VBK_TRY(node::child_at(r.bytes(), slot));
    stack_.push_back(Level{pgno, slot + 1});
    pgno = child;
  }
}

Result<void> Cursor::seek(int64_t rowid) {
  last_returned_.reset();
  if (position_) {
    // A target inside the current leaf needs no descent.
    PageRef page = VBK_TRY(pager_->get_page(position_->leaf));
    PageRead r = page.read();
    const size_t n = VBK_TRY(node::count(r.bytes()));
    if (n > 0 && node::kind(r.bytes()) == node::kTableLeaf) {
      if (position_->next < n && VBK_TRY(node::leaf_rowid_at(r.bytes(), position_->next)) == rowid) {
        return {};
      }
      const int64_t first = VBK_TRY(node::leaf_rowid_at(r.bytes(), 0));
      const int64_t last = VBK_TRY(node::leaf_rowid_at(r.bytes(), n - 1));
      if (first <= rowid && rowid <= last) {
        position_->next = VBK_TRY(node::leaf_find(r.bytes(), rowid)).index;
        return {};
      }
    }
  }
  clear();
  return descend(root_, rowid);
}

Result<void> Cursor::advance() {
  while (!stack_.empty()) {
    const Level top = stack_.back();
    stack_.pop_back();
    uint32_t child;
    {
      PageRef page = VBK_TRY(pager_->get_page(top.page));
      PageRead r = page.read();
      const size_t n = VBK_TRY(node::count(r.bytes()));
      if (top.next_child > n) continue;  // exhausted
      child = VBK_TRY(node::child_at(r.bytes(), top.next_child));
    }
    stack_.push_back(Level{top.page, top.next_child + 1});
    return descend_leftmost(child);
  }
  position_.reset();
  return {};
}

Result<std::optional<Cursor::Found>> Cursor::step(Bytes& local) {
  while (position_) {
    {
      PageRef page = VBK_TRY(pager_->get_page(position_->leaf));
      PageRead r = page.read();
      const size_t n = VBK_TRY(node::count(r.bytes()));
      const size_t i = position_->next;
      if (i < n) {
        const cell::CBytes c = VBK_TRY(node::cell_start(r.bytes(), i));
        const cell::LeafHead head = VBK_TRY(cell::parse_leaf_head(c));
        if (last_returned_ && head.rowid <= *last_returned_) {
          return std::unexpected(Error::Corrupt("table rows out of order"));
        }
        last_returned_ = head.rowid;
        position_->next = i + 1;
        const uint8_t* body = c.data() + head.head_len;
        local.assign(body, body + head.local);
        const uint32_t first = head.has_overflow ? get_be32(body + head.local) : 0;
        return Found{head.rowid, head.total, first};
      }
    }
    VBK_TRY(advance());  // a leaf left empty by deletes is passed over
  }
  return std::nullopt;
}

Result<std::optional<Cursor::Row>> Cursor::next() {
  Row row;
  const std::optional<Found> found = VBK_TRY(step(row.payload));
  if (!found) return std::nullopt;
  row.rowid = found->rowid;
  if (found->first_overflow != 0) {
    const Bytes local = std::move(row.payload);
    VBK_TRY(cell::read_payload_into(*pager_, row.payload, found->total, local, found->first_overflow));
  }
  return row;
}

Result<std::optional<int64_t>> Cursor::next_into(Bytes& buf) {
  thread_local Bytes local;
  const std::optional<Found> found = VBK_TRY(step(local));
  if (!found) return std::nullopt;
  buf.clear();
  if (found->first_overflow == 0) {
    buf.insert(buf.end(), local.begin(), local.end());
  } else {
    VBK_TRY(cell::read_payload_into(*pager_, buf, found->total, local, found->first_overflow));
  }
  return found->rowid;
}

Cursor::Position Cursor::current(const char* op) const {
  if (!position_ || position_->next == 0) fault(std::string(op) + ": no current row");
  return *position_;
}

Result<void> Cursor::delete_current() {
  const Position p = current("delete_current");
  PageRef page = VBK_TRY(pager_->get_page(p.leaf));
  cell::LeafHead head;
  uint32_t first_overflow = 0;
  {
    PageRead r = page.read();
    const cell::CBytes c = VBK_TRY(node::cell_start(r.bytes(), p.next - 1));
    head = VBK_TRY(cell::parse_leaf_head(c));
    if (head.has_overflow) first_overflow = get_be32(c.data() + head.head_len + head.local);
  }
  VBK_TRY(cell::free_overflow(*pager_, first_overflow, head.total - head.local));
  node::remove_cell(page.write().bytes(), p.next - 1);
  position_->next = p.next - 1;
  return {};
}

Result<bool> Cursor::update_current_inplace(int64_t rowid, std::span<const uint8_t> payload) {
  const size_t page_size = pager_->page_size();
  if (payload.size() > cell::max_local(page_size)) return false;
  const Position p = current("update_current_inplace");
  thread_local Bytes new_cell;
  cell::encode_leaf_into(new_cell, rowid, payload.size(), payload);
  PageRef page = VBK_TRY(pager_->get_page(p.leaf));
  size_t old_len;
  {
    PageRead r = page.read();
    const cell::CBytes old = VBK_TRY(node::cell_at(r.bytes(), p.next - 1));
    if (VBK_TRY(cell::parse_leaf_head(old)).has_overflow || new_cell.size() > old.size()) {
      return false;
    }
    old_len = old.size();
  }
  PageWrite w = page.write();
  if (new_cell.size() == old_len) {
    VBK_TRY(node::overwrite_cell(w.bytes(), p.next - 1, new_cell));
  } else {
    // The old cell's bytes and pointer are released first, so the shorter
    // cell always fits.
    node::remove_cell(w.bytes(), p.next - 1);
    if (!VBK_TRY(node::insert_cell_raw(w.bytes(), page_size, p.next - 1, new_cell))) {
      fault("update_current_inplace: a shorter cell does not fit");
    }
  }
  return true;
}

}  // namespace vbk
