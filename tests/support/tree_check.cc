#include "support/tree_check.h"

#include <optional>
#include <string>
#include <vector>

#include "btree/cell.h"
#include "btree/index.h"
#include "btree/node.h"

namespace vbk::testing {

namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

struct Walk {
  Pager& pager;
  std::set<uint32_t>& pages;
  std::map<int64_t, Bytes>* rows;
  std::optional<int> leaf_depth;
  std::optional<int64_t> last_rowid;
  std::string error;
  std::vector<Bytes>* keys;
  std::optional<Bytes> last_key;

  bool fail(uint32_t pgno, const std::string& what) {
    error = "page " + std::to_string(pgno) + ": " + what;
    return false;
  }

  bool claim(uint32_t pgno) {
    if (pgno < 2 || pgno > pager.header().page_count) return fail(pgno, "outside the file");
    if (!pages.insert(pgno).second) return fail(pgno, "reached twice");
    return true;
  }

  bool chain(uint32_t first, uint64_t bytes, Bytes& payload) {
    const size_t chunk = pager.page_size() - 4;
    uint64_t left = bytes;
    for (uint32_t pgno = first; left > 0;) {
      if (pgno == 0) return fail(first, "overflow chain too short");
      if (!claim(pgno)) return false;
      auto page = pager.get_page(pgno);
      if (!page) return fail(pgno, page.error().display());
      PageRead r = page->read();
      const size_t take = std::min<uint64_t>(chunk, left);
      payload.insert(payload.end(), r.data() + 4, r.data() + 4 + take);
      left -= take;
      pgno = get_be32(r.data());
      if (left == 0 && pgno != 0) return fail(pgno, "overflow chain too long");
    }
    return true;
  }

  // Claims page `pgno` at `depth` and copies its bytes into `bytes` (so
  // that no borrow is held while children are read); its cell count in `n`.
  bool load(uint32_t pgno, int depth, Bytes& bytes, size_t& n) {
    if (depth > 40) return fail(pgno, "too deep");
    if (!claim(pgno)) return false;
    auto page = pager.get_page(pgno);
    if (!page) return fail(pgno, page.error().display());
    {
      PageRead r = page->read();
      bytes.assign(r.data(), r.data() + r.size());
    }
    auto count = node::count(bytes);
    if (!count) return fail(pgno, count.error().display());
    n = *count;
    return true;
  }

  // Every leaf at one depth, without a right child.
  bool leaf_shape(uint32_t pgno, const Bytes& bytes, int depth) {
    if (leaf_depth && *leaf_depth != depth) return fail(pgno, "leaves at different depths");
    leaf_depth = depth;
    if (node::right_child(bytes) != 0) return fail(pgno, "leaf with a right child");
    return true;
  }

  // Rowids under `pgno` lie in (low, high].
  bool table(uint32_t pgno, std::optional<int64_t> low, std::optional<int64_t> high, int depth) {
    Bytes bytes;
    size_t n;
    if (!load(pgno, depth, bytes, n)) return false;
    auto in_bounds = [&](int64_t key) { return (!low || key > *low) && (!high || key <= *high); };
    if (node::kind(bytes) == node::kTableLeaf) {
      if (!leaf_shape(pgno, bytes, depth)) return false;
      for (size_t i = 0; i < n; ++i) {
        auto c = node::cell_at(bytes, i);
        if (!c) return fail(pgno, c.error().display());
        auto head = cell::parse_leaf_head(*c);
        if (!head) return fail(pgno, head.error().display());
        if (!in_bounds(head->rowid)) return fail(pgno, "rowid outside its bounds");
        if (last_rowid && head->rowid <= *last_rowid) return fail(pgno, "rowids out of order");
        last_rowid = head->rowid;
        const size_t max_local = cell::max_local(pager.page_size());
        const uint64_t expect_local = std::min<uint64_t>(head->total, max_local);
        if (head->local != expect_local) return fail(pgno, "wrong local payload length");
        Bytes payload(c->begin() + static_cast<std::ptrdiff_t>(head->head_len),
                      c->begin() + static_cast<std::ptrdiff_t>(head->head_len + head->local));
        if (head->has_overflow) {
          const uint32_t first = get_be32(c->data() + head->head_len + head->local);
          if (!chain(first, head->total - head->local, payload)) return false;
        }
        if (rows) (*rows)[head->rowid] = std::move(payload);
      }
      return true;
    }
    if (node::kind(bytes) != node::kTableInterior) return fail(pgno, "not a table page");
    std::optional<int64_t> prev = low;
    for (size_t i = 0; i <= n; ++i) {
      auto child = node::child_at(bytes, i);
      if (!child) return fail(pgno, child.error().display());
      std::optional<int64_t> key = high;
      if (i < n) {
        auto k = cell::interior_key(*node::cell_start(bytes, i));
        if (!k) return fail(pgno, k.error().display());
        if (!in_bounds(*k)) return fail(pgno, "key outside its bounds");
        if (prev && *k <= *prev) return fail(pgno, "keys out of order");
        key = *k;
      }
      if (!table(*child, prev, key, depth + 1)) return false;
      prev = key;
    }
    return true;
  }

  // Index keys under `pgno` lie in (low, high], bytewise.
  bool index(uint32_t pgno, const std::optional<Bytes>& low, const std::optional<Bytes>& high,
             int depth) {
    Bytes bytes;
    size_t n;
    if (!load(pgno, depth, bytes, n)) return false;
    auto in_bounds = [&](cell::CBytes key) {
      return (!low || btree::index::compare(key, *low) > 0) &&
             (!high || btree::index::compare(key, *high) <= 0);
    };
    const size_t max_key = btree::index::max_key(pager.page_size());
    const bool leaf = node::kind(bytes) == node::kIndexLeaf;
    if (!leaf && node::kind(bytes) != node::kIndexInterior) return fail(pgno, "not an index page");
    if (leaf && !leaf_shape(pgno, bytes, depth)) return false;
    std::optional<Bytes> prev = low;
    for (size_t i = 0; i <= n; ++i) {
      std::optional<Bytes> key = high;
      if (i < n) {
        auto c = node::cell_at(bytes, i);
        if (!c) return fail(pgno, c.error().display());
        auto k = leaf ? node::index_leaf_key(*c) : node::index_interior_key(*c);
        if (!k) return fail(pgno, k.error().display());
        if (k->size() > max_key) return fail(pgno, "key longer than the largest key");
        if (!in_bounds(*k)) return fail(pgno, "key outside its bounds");
        if (prev && btree::index::compare(*k, *prev) <= 0) return fail(pgno, "keys out of order");
        key = Bytes(k->begin(), k->end());
      }
      if (leaf) {
        if (i == n) break;
        if (last_key && btree::index::compare(*key, *last_key) <= 0) {
          return fail(pgno, "keys out of order across leaves");
        }
        last_key = key;
        if (keys) keys->push_back(*key);
      } else {
        auto child = node::child_at(bytes, i);
        if (!child) return fail(pgno, child.error().display());
        if (!index(*child, prev, key, depth + 1)) return false;
      }
      prev = key;
    }
    return true;
  }
};

}  // namespace

AssertionResult check_table_tree(Pager& pager, uint32_t root, std::set<uint32_t>& pages,
                                 std::map<int64_t, Bytes>* rows) {
  Walk walk{pager, pages, rows, std::nullopt, std::nullopt, {}, nullptr, std::nullopt};
  if (!walk.table(root, std::nullopt, std::nullopt, 0)) return AssertionFailure() << walk.error;
  return AssertionSuccess();
}

AssertionResult check_index_tree(Pager& pager, uint32_t root, std::set<uint32_t>& pages,
                                 std::vector<Bytes>* keys) {
  Walk walk{pager, pages, nullptr, std::nullopt, std::nullopt, {}, keys, std::nullopt};
  if (!walk.index(root, std::nullopt, std::nullopt, 0)) return AssertionFailure() << walk.error;
  return AssertionSuccess();
}

namespace {

// Walks the free list into `free_pages`: every trunk and leaf in 2..page
// count, not in `used` and named once.
AssertionResult walk_free_list(Pager& pager, const std::set<uint32_t>& used, std::set<uint32_t>& free_pages) {
  const DbHeader& h = pager.header();
  auto add = [&](uint32_t pgno) {
    return pgno >= 2 && pgno <= h.page_count && !used.contains(pgno) && free_pages.insert(pgno).second;
  };
  for (uint32_t trunk = h.freelist_head; trunk != 0;) {
    if (!add(trunk)) return AssertionFailure() << "free-list trunk " << trunk << " is bad or in use";
    auto page = pager.get_page(trunk);
    if (!page) return AssertionFailure() << page.error().display();
    PageRead r = page->read();
    const uint32_t leaves = get_be32(r.data() + 4);
    if (leaves > (pager.page_size() - 8) / 4) return AssertionFailure() << "trunk overfull";
    for (uint32_t i = 0; i < leaves; ++i) {
      const uint32_t leaf = get_be32(r.data() + 8 + 4 * i);
      if (!add(leaf)) return AssertionFailure() << "free-list leaf " << leaf << " is bad or in use";
    }
    trunk = get_be32(r.data());
  }
  if (free_pages.size() != h.freelist_count) {
    return AssertionFailure() << "free list holds " << free_pages.size() << " pages, header says "
                              << h.freelist_count;
  }
  return AssertionSuccess();
}

}  // namespace

AssertionResult check_free_list(Pager& pager) {
  std::set<uint32_t> free_pages;
  return walk_free_list(pager, {}, free_pages);
}

AssertionResult check_page_accounting(Pager& pager, const std::set<uint32_t>& used) {
  const DbHeader& h = pager.header();
  std::set<uint32_t> free_pages;
  if (AssertionResult walked = walk_free_list(pager, used, free_pages); !walked) return walked;
  if (used.size() + free_pages.size() != h.page_count - 1u) {
    return AssertionFailure() << used.size() << " used + " << free_pages.size()
                              << " free pages != page count " << h.page_count << " - 1";
  }
  return AssertionSuccess();
}

}  // namespace vbk::testing
