#include "btree/btree.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "btree/node.h"
#include "pager/pager.h"
#include "record/varint.h"

namespace vbk {

namespace {

Error page_reached_twice(uint32_t pgno) {
  return Error::Corrupt("page " + std::to_string(pgno) + " is reached twice in a b-tree");
}

using btree::too_deep;

Result<bool> is_leaf(node::CPage page, uint32_t pgno) {
  return btree::page_is_leaf(page, pgno, btree::kTableKinds);
}

// Child slots `from` to the count (the right child last) of an interior page.
Result<void> children_of(node::CPage page, size_t from, std::vector<uint32_t>& out) {
  const size_t n = VBK_TRY(node::count(page));
  for (size_t i = from; i <= n; ++i) out.push_back(VBK_TRY(node::child_at(page, i)));
  return {};
}

// The overflow chain of a table leaf cell (first page 0 when it has none).
struct Chain {
  uint32_t first = 0;
  uint64_t bytes = 0;
};

Result<Chain> chain_of(cell::CBytes leaf_cell) {
  const cell::LeafHead head = VBK_TRY(cell::parse_leaf_head(leaf_cell));
  if (!head.has_overflow) return Chain{};
  return Chain{get_be32(leaf_cell.data() + head.head_len + head.local), head.total - head.local};
}

// Frees the chains of one truncation. Every page is checked against the
// pages the truncation has reached so far before any of its chain is freed,
// so a page that two cells, or a cell and the tree, both name is Corrupt
// rather than freed twice.
Result<void> free_chains(Pager& pager, std::span<const Chain> chains, std::unordered_set<uint32_t>& seen) {
  for (const Chain& c : chains) {
    const std::vector<uint32_t> pages = VBK_TRY(cell::overflow_chain(pager, c.first, c.bytes, seen));
    for (uint32_t pgno : pages) VBK_TRY(pager.free_page(pgno));
  }
  return {};
}

// Marks a tree page as reached by one walk; reaching it again is Corrupt.
// Checked on entering a page, before anything under it is freed.
Result<void> visit(uint32_t pgno, std::unordered_set<uint32_t>& seen) {
  if (!seen.insert(pgno).second) return std::unexpected(page_reached_twice(pgno));
  return {};
}

// Chains of cells `from` and after of a table leaf.
Result<void> chains_of_leaf(node::CPage page, size_t from, std::vector<Chain>& out) {
  const size_t n = VBK_TRY(node::count(page));
  for (size_t i = from; i < n; ++i) {
    const Chain c = VBK_TRY(chain_of(VBK_TRY(node::cell_start(page, i))));
    if (c.first != 0) out.push_back(c);
  }
  return {};
}

// The child slot that covers `rowid` on an interior page.
auto slot_for(int64_t rowid) {
  return [rowid](node::CPage page) { return node::interior_child_index(page, rowid); };
}

// Descends from the root to the leaf that covers `rowid`.
Result<PageRef> find_leaf(Pager& pager, uint32_t root, int64_t rowid) {
  return btree::find_leaf(pager, root, btree::kTableKinds, slot_for(rowid));
}

}  // namespace

Result<BTree> BTree::create(Pager& pager) {
  return BTree(pager, VBK_TRY(btree::new_root(pager, node::kTableLeaf)));
}

Result<std::optional<Bytes>> BTree::search(int64_t rowid) const {
  PageRef leaf = VBK_TRY(find_leaf(*pager_, root_, rowid));
  Bytes local;
  cell::LeafHead head;
  uint32_t first_overflow = 0;
  {
    PageRead r = leaf.read();
    const node::Position pos = VBK_TRY(node::leaf_find(r.bytes(), rowid));
    if (!pos.found) return std::nullopt;
    const cell::CBytes c = VBK_TRY(node::cell_start(r.bytes(), pos.index));
    head = VBK_TRY(cell::parse_leaf_head(c));
    local.assign(c.begin() + head.head_len, c.begin() + head.head_len + head.local);
    if (head.has_overflow) first_overflow = get_be32(c.data() + head.head_len + head.local);
  }
  if (!head.has_overflow) return local;
  return VBK_TRY(cell::read_payload(*pager_, head.total, local, first_overflow));
}

Result<void> BTree::insert(int64_t rowid, std::span<const uint8_t> payload) const {
  return insert_row(rowid, payload, nullptr);
}

Result<bool> BTree::insert_new(int64_t rowid, std::span<const uint8_t> payload) const {
  bool present = false;
  VBK_TRY(insert_row(rowid, payload, &present));
  return !present;
}

Result<void> BTree::insert_row(int64_t rowid, std::span<const uint8_t> payload, bool* present) const {
  const size_t page_size = pager_->page_size();
  if (present && payload.size() > cell::max_local(page_size)) {
    // The overflow chain is written before the descent: look first.
    PageRef leaf = VBK_TRY(find_leaf(*pager_, root_, rowid));
    PageRead r = leaf.read();
    if (VBK_TRY(node::leaf_find(r.bytes(), rowid)).found) {
      *present = true;
      return {};
    }
  }
  const cell::Spill spill = VBK_TRY(cell::write_payload(*pager_, payload, cell::max_local(page_size)));
  thread_local Bytes leaf_cell;
  cell::encode_leaf_into(leaf_cell, rowid, payload.size(), payload.first(spill.local_len),
                         spill.first_overflow);
  const std::optional<Split> split = VBK_TRY(insert_at(root_, rowid, leaf_cell, 0, present));
  if (!split) return {};
  const uint32_t lower = VBK_TRY(pager_->alloc_page());
  return btree::grow_root(*pager_, root_, lower, split->right, node::kTableInterior,
                          cell::encode_interior(lower, split->separator));
}

Result<std::optional<BTree::Split>> BTree::insert_at(uint32_t pgno, int64_t rowid,
                                                     cell::CBytes leaf_cell, int depth,
                                                     bool* present) const {
  if (depth >= btree::kMaxDepth) return std::unexpected(too_deep());
  const btree::Descent at = VBK_TRY(btree::step_down(*pager_, pgno, btree::kTableKinds, slot_for(rowid)));
  if (at.leaf) return insert_into_leaf(at.page, rowid, leaf_cell, present);
  const std::optional<Split> split = VBK_TRY(insert_at(at.child, rowid, leaf_cell, depth + 1, present));
  if (!split) return std::nullopt;
  const std::optional<btree::InteriorSplit> up = VBK_TRY(btree::insert_after_child_split(
      *pager_, at.page, node::kTableInterior, at.slot, split->right,
      cell::encode_interior(at.child, split->separator)));
  if (!up) return std::nullopt;
  return Split{VBK_TRY(cell::interior_key(up->promoted)), up->right};
}

Result<std::optional<BTree::Split>> BTree::insert_into_leaf(const PageRef& page, int64_t rowid,
                                                            cell::CBytes leaf_cell, bool* present) const {
  const size_t page_size = pager_->page_size();
  node::Position pos;
  Chain old;
  {
    PageRead r = page.read();
    pos = VBK_TRY(node::leaf_find(r.bytes(), rowid));
    if (pos.found && present) {
      *present = true;
      return std::nullopt;
    }
    if (pos.found) old = VBK_TRY(chain_of(VBK_TRY(node::cell_start(r.bytes(), pos.index))));
  }
  if (pos.found) {
    // A replacement: the old row's chain goes, and the new cell takes its place.
    VBK_TRY(cell::free_overflow(*pager_, old.first, old.bytes));
    node::remove_cell(page.write().bytes(), pos.index);
  }
  if (VBK_TRY(node::insert_cell_raw(page.write().bytes(), page_size, pos.index, leaf_cell))) {
    return std::nullopt;
  }
  // Any two cells this engine writes fit one page, which the split relies
  // on; a longer cell can only come from a damaged page.
  const size_t max_cell = cell::max_local(page_size) + 3 * varint::kMaxUvarintLength + 4;
  const btree::LeafSplit split =
      VBK_TRY(btree::split_leaf(*pager_, page, node::kTableLeaf, pos.index, leaf_cell, max_cell));
  return Split{VBK_TRY(cell::leaf_rowid(split.last_left)), split.right};
}

Result<void> BTree::insert_fast(int64_t rowid, std::span<const uint8_t> payload,
                                AppendHint& hint) const {
  return insert_fast_row(rowid, payload, hint, nullptr);
}

Result<bool> BTree::insert_fast_new(int64_t rowid, std::span<const uint8_t> payload,
                                    AppendHint& hint) const {
  bool present = false;
  VBK_TRY(insert_fast_row(rowid, payload, hint, &present));
  return !present;
}

Result<void> BTree::insert_fast_row(int64_t rowid, std::span<const uint8_t> payload, AppendHint& hint,
                                    bool* present) const {
  const size_t page_size = pager_->page_size();
  if (hint.set && rowid > hint.last && payload.size() <= cell::max_local(page_size)) {
    thread_local Bytes leaf_cell;
    cell::encode_leaf_into(leaf_cell, rowid, payload.size(), payload);
    PageRef page = VBK_TRY(pager_->get_page(hint.leaf));
    if (node::kind(page.read().bytes()) == node::kTableLeaf) {
      PageWrite w = page.write();
      const size_t n = VBK_TRY(node::count(w.bytes()));
      if (VBK_TRY(node::insert_cell_raw(w.bytes(), page_size, n, leaf_cell))) {
        hint.last = rowid;
        return {};
      }
    }
  }
  // A rowid above the hint's last is above every stored rowid (the hint
  // names the right-most leaf), so only this path can meet a stored one.
  VBK_TRY(insert_row(rowid, payload, present));
  if (present && *present) return {};
  const uint32_t leaf = VBK_TRY(rightmost_leaf());
  PageRef page = VBK_TRY(pager_->get_page(leaf));
  PageRead r = page.read();
  const size_t n = VBK_TRY(node::count(r.bytes()));
  if (n == 0) {
    hint.reset();
  } else {
    hint = AppendHint{true, leaf, VBK_TRY(node::leaf_rowid_at(r.bytes(), n - 1))};
  }
  return {};
}

Result<uint32_t> BTree::rightmost_leaf() const {
  uint32_t pgno = root_;
  for (int depth = 0; depth < btree::kMaxDepth; ++depth) {
    PageRef page = VBK_TRY(pager_->get_page(pgno));
    PageRead r = page.read();
    if (VBK_TRY(is_leaf(r.bytes(), pgno))) return pgno;
    pgno = node::right_child(r.bytes());
  }
  return std::unexpected(too_deep());
}

Result<std::optional<int64_t>> BTree::last_rowid() const {
  // Usually the right-most leaf holds the answer; only when deletes emptied
  // it does the search go back through the rest of the tree.
  const uint32_t leaf = VBK_TRY(rightmost_leaf());
  {
    PageRef page = VBK_TRY(pager_->get_page(leaf));
    PageRead r = page.read();
    const size_t n = VBK_TRY(node::count(r.bytes()));
    if (n > 0) return VBK_TRY(node::leaf_rowid_at(r.bytes(), n - 1));
  }
  std::unordered_set<uint32_t> seen;
  return last_rowid_under(root_, 0, seen);
}

Result<std::optional<int64_t>> BTree::last_rowid_under(uint32_t pgno, int depth,
                                                       std::unordered_set<uint32_t>& seen) const {
  if (depth >= btree::kMaxDepth) return std::unexpected(too_deep());
  // Damaged pages whose slots all name one subtree of empty leaves would
  // otherwise make this walk exponential in the depth.
  VBK_TRY(visit(pgno, seen));
  std::vector<uint32_t> children;
  {
    PageRef page = VBK_TRY(pager_->get_page(pgno));
    PageRead r = page.read();
    if (VBK_TRY(is_leaf(r.bytes(), pgno))) {
      const size_t n = VBK_TRY(node::count(r.bytes()));
      if (n == 0) return std::nullopt;
      return VBK_TRY(node::leaf_rowid_at(r.bytes(), n - 1));
    }
    VBK_TRY(children_of(r.bytes(), 0, children));
  }
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    const std::optional<int64_t> last = VBK_TRY(last_rowid_under(*it, depth + 1, seen));
    if (last) return last;
  }
  return std::nullopt;
}

Result<bool> BTree::delete_(int64_t rowid) const {
  PageRef leaf = VBK_TRY(find_leaf(*pager_, root_, rowid));
  node::Position pos;
  Chain chain;
  {
    PageRead r = leaf.read();
    pos = VBK_TRY(node::leaf_find(r.bytes(), rowid));
    if (!pos.found) return false;
    chain = VBK_TRY(chain_of(VBK_TRY(node::cell_start(r.bytes(), pos.index))));
  }
  VBK_TRY(cell::free_overflow(*pager_, chain.first, chain.bytes));
  node::remove_cell(leaf.write().bytes(), pos.index);
  return true;
}

Result<uint64_t> BTree::truncate_from(int64_t bound) const {
  std::unordered_set<uint32_t> freed;
  const Truncated t = VBK_TRY(truncate_subtree(root_, bound, 0, freed));
  if (t.empty) {
    PageRef root = VBK_TRY(pager_->get_page(root_));
    node::init_leaf(root.write().bytes(), pager_->page_size());
  }
  return t.removed;
}

Result<BTree::Truncated> BTree::truncate_subtree(uint32_t pgno, int64_t bound, int depth,
                                                 std::unordered_set<uint32_t>& freed) const {
  if (depth >= btree::kMaxDepth) return std::unexpected(too_deep());
  VBK_TRY(visit(pgno, freed));
  PageRef page = VBK_TRY(pager_->get_page(pgno));
  size_t n, g;
  std::vector<uint32_t> children;
  std::vector<Chain> chains;
  bool leaf;
  {
    PageRead r = page.read();
    leaf = VBK_TRY(is_leaf(r.bytes(), pgno));
    n = VBK_TRY(node::count(r.bytes()));
    if (leaf) {
      g = VBK_TRY(node::leaf_find(r.bytes(), bound)).index;
      VBK_TRY(chains_of_leaf(r.bytes(), g, chains));
    } else {
      g = VBK_TRY(node::interior_child_index(r.bytes(), bound));
      VBK_TRY(children_of(r.bytes(), g, children));
    }
  }
  if (leaf) {
    VBK_TRY(free_chains(*pager_, chains, freed));
    if (g < n) node::truncate_cells(page.write().bytes(), g);
    return Truncated{n - g, g == 0};
  }

  // children[0] covers the bound; the subtrees after it lie wholly above it.
  uint64_t removed = 0;
  for (size_t i = 1; i < children.size(); ++i) {
    removed += VBK_TRY(free_subtree(children[i], depth + 1, freed));
  }
  const uint32_t boundary = children[0];
  const Truncated t = VBK_TRY(truncate_subtree(boundary, bound, depth + 1, freed));
  removed += t.removed;
  if (t.empty) {
    VBK_TRY(pager_->free_page(boundary));
    if (g == 0) return Truncated{removed, true};
    PageWrite w = page.write();
    const uint32_t left = VBK_TRY(node::child_at(w.bytes(), g - 1));
    node::truncate_cells(w.bytes(), g - 1);
    node::set_right_child(w.bytes(), left);
  } else if (g < n) {
    PageWrite w = page.write();
    node::truncate_cells(w.bytes(), g);
    node::set_right_child(w.bytes(), boundary);
  }
  return Truncated{removed, false};
}

Result<uint64_t> BTree::free_subtree(uint32_t pgno, int depth,
                                     std::unordered_set<uint32_t>& freed) const {
  if (depth >= btree::kMaxDepth) return std::unexpected(too_deep());
  VBK_TRY(visit(pgno, freed));
  std::vector<uint32_t> children;
  std::vector<Chain> chains;
  uint64_t rows = 0;
  {
    PageRef page = VBK_TRY(pager_->get_page(pgno));
    PageRead r = page.read();
    if (VBK_TRY(is_leaf(r.bytes(), pgno))) {
      rows = VBK_TRY(node::count(r.bytes()));
      VBK_TRY(chains_of_leaf(r.bytes(), 0, chains));
    } else {
      VBK_TRY(children_of(r.bytes(), 0, children));
    }
  }
  VBK_TRY(free_chains(*pager_, chains, freed));
  for (uint32_t child : children) rows += VBK_TRY(free_subtree(child, depth + 1, freed));
  VBK_TRY(pager_->free_page(pgno));
  return rows;
}

Result<uint64_t> BTree::count_subtree(uint32_t pgno) const {
  std::unordered_set<uint32_t> seen;
  return count_under(pgno, 0, seen);
}

Result<uint64_t> BTree::count_under(uint32_t pgno, int depth,
                                    std::unordered_set<uint32_t>& seen) const {
  if (depth >= btree::kMaxDepth) return std::unexpected(too_deep());
  VBK_TRY(visit(pgno, seen));
  std::vector<uint32_t> children;
  {
    PageRef page = VBK_TRY(pager_->get_page(pgno));
    PageRead r = page.read();
    if (VBK_TRY(is_leaf(r.bytes(), pgno))) return VBK_TRY(node::count(r.bytes()));
    VBK_TRY(children_of(r.bytes(), 0, children));
  }
  uint64_t rows = 0;
  for (uint32_t child : children) rows += VBK_TRY(count_under(child, depth + 1, seen));
  return rows;
}

}  // namespace vbk
