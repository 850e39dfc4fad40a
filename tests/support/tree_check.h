#pragma once

// Validators of on-disk structures for model tests: they walk a B-tree or
// the free list page by page and check every invariant the engine relies on.

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "util/bytes.h"

namespace vbk::testing {

// Walks the table B-tree at `root`: page kinds, cell parsing, rowids strictly
// increasing and within their parents' bounds, interior pages of one depth,
// overflow chains of exactly the right length. Every page reached (tree and
// overflow) is added to `pages`; reaching one twice fails. The rows found go
// to `rows` when given.
::testing::AssertionResult check_table_tree(Pager& pager, uint32_t root, std::set<uint32_t>& pages,
                                            std::map<int64_t, Bytes>* rows = nullptr);

// Walks the index B-tree at `root`: page kinds, cell parsing, keys no
// longer than the largest key, strictly increasing (bytewise) across the
// leaves and within their parents' bounds, leaves at one depth. Every page
// reached is added to `pages`; reaching one twice fails. The keys found go
// to `keys`, in order, when given.
::testing::AssertionResult check_index_tree(Pager& pager, uint32_t root, std::set<uint32_t>& pages,
                                            std::vector<Bytes>* keys = nullptr);

// The free list names only pages 2 to the page count, none twice (a page
// freed twice shows up so), and its count matches the header.
::testing::AssertionResult check_free_list(Pager& pager);

// Every page from 2 to the page count is either in `used` or on the free
// list, never both; the free list's count matches the header.
::testing::AssertionResult check_page_accounting(Pager& pager, const std::set<uint32_t>& used);

}  // namespace vbk::testing
