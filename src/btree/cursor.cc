#include "btree/cursor.h"

#include <string>

#include "btree/btree.h"
#include "btree/node.h"
#include "pager/pager.h"

namespace vbk {

Result<void> Cursor::rewind() {
  clear();
  return descend_leftmost(path_.root());
}

Result<void> Cursor::descend_leftmost(uint32_t pgno) { return path_.descend_leftmost(pgno); }

Result<void> Cursor::seek(int64_t rowid) {
  last_returned_.reset();
  std::optional<Position>& position = path_.position;
  if (position) {
    // A target inside the current leaf needs no descent.
    PageRef page = VBK_TRY(path_.pager().get_page(position->leaf));
    PageRead r = page.read();
    const size_t n = VBK_TRY(node::count(r.bytes()));
    if (n > 0 && node::kind(r.bytes()) == node::kTableLeaf) {
      if (position->next < n && VBK_TRY(node::leaf_rowid_at(r.bytes(), position->next)) == rowid) {
        return {};
      }
      const int64_t first = VBK_TRY(node::leaf_rowid_at(r.bytes(), 0));
      const int64_t last = VBK_TRY(node::leaf_rowid_at(r.bytes(), n - 1));
      if (first <= rowid && rowid <= last) {
        position->next = VBK_TRY(node::leaf_find(r.bytes(), rowid)).index;
        return {};
      }
    }
  }
  clear();
  return path_.descend(
      path_.root(), [rowid](node::CPage page) { return node::interior_child_index(page, rowid); },
      [rowid](node::CPage page) -> Result<size_t> {
        return VBK_TRY(node::leaf_find(page, rowid)).index;
      });
}

Result<void> Cursor::advance() { return path_.advance(); }

Result<std::optional<Cursor::Found>> Cursor::step(Bytes& local) {
  const PageRef page = VBK_TRY(path_.leaf_with_next());
  if (!page) return std::nullopt;
  PageRead r = page.read();
  const size_t i = path_.position->next;
  const cell::CBytes c = VBK_TRY(node::cell_start(r.bytes(), i));
  const cell::LeafHead head = VBK_TRY(cell::parse_leaf_head(c));
  if (last_returned_ && head.rowid <= *last_returned_) {
    return std::unexpected(Error::Corrupt("table rows out of order"));
  }
  last_returned_ = head.rowid;
  path_.position->next = i + 1;
  const uint8_t* body = c.data() + head.head_len;
  local.assign(body, body + head.local);
  const uint32_t first = head.has_overflow ? get_be32(body + head.local) : 0;
  return Found{head.rowid, head.total, first};
}

Result<std::optional<Cursor::Row>> Cursor::next() {
  Row row;
  const std::optional<Found> found = VBK_TRY(step(row.payload));
  if (!found) return std::nullopt;
  row.rowid = found->rowid;
  if (found->first_overflow != 0) {
    const Bytes local = std::move(row.payload);
    VBK_TRY(cell::read_payload_into(path_.pager(), row.payload, found->total, local, found->first_overflow));
  }
  return row;
}

Result<std::optional<int64_t>> Cursor::next_into(Bytes& buf) {
  // A row without an overflow chain goes from the page straight into `buf`;
  // step leaves `buf` alone when there is no row.
  const std::optional<Found> found = VBK_TRY(step(buf));
  if (!found) return std::nullopt;
  if (found->first_overflow != 0) {
    thread_local Bytes local;
    local.swap(buf);  // the local part, the start of the whole payload
    if (Result<void> read = cell::read_payload_into(path_.pager(), buf, found->total, local,
                                                    found->first_overflow);
        !read) {
      buf.clear();  // never part of a payload
      return std::unexpected(std::move(read).error());
    }
  }
  return found->rowid;
}

Cursor::Position Cursor::current(const char* op) const {
  if (!path_.position || path_.position->next == 0) fault(std::string(op) + ": no current row");
  return *path_.position;
}

Result<void> Cursor::delete_current() {
  const Position p = current("delete_current");
  PageRef page = VBK_TRY(path_.pager().get_page(p.leaf));
  cell::LeafHead head;
  uint32_t first_overflow = 0;
  {
    PageRead r = page.read();
    const cell::CBytes c = VBK_TRY(node::cell_start(r.bytes(), p.next - 1));
    head = VBK_TRY(cell::parse_leaf_head(c));
    if (head.has_overflow) first_overflow = get_be32(c.data() + head.head_len + head.local);
  }
  VBK_TRY(cell::free_overflow(path_.pager(), first_overflow, head.total - head.local));
  node::remove_cell(page.write().bytes(), p.next - 1);
  path_.position->next = p.next - 1;
  return {};
}

Result<bool> Cursor::update_current_inplace(int64_t rowid, std::span<const uint8_t> payload) {
  const size_t page_size = path_.pager().page_size();
  if (payload.size() > cell::max_local(page_size)) return false;
  const Position p = current("update_current_inplace");
  thread_local Bytes new_cell;
  cell::encode_leaf_into(new_cell, rowid, payload.size(), payload);
  PageRef page = VBK_TRY(path_.pager().get_page(p.leaf));
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
    // cell fits any sound page; only cells that overlap, and so seem to
    // take more room than the page has, can refuse it.
    node::remove_cell(w.bytes(), p.next - 1);
    if (!VBK_TRY(node::insert_cell_raw(w.bytes(), page_size, p.next - 1, new_cell))) {
      return std::unexpected(Error::Corrupt("b-tree page cells overlap"));
    }
  }
  return true;
}

}  // namespace vbk
