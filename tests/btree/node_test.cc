#include "btree/node.h"

#include <functional>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "btree/cell.h"

namespace vbk {
namespace {

// A table leaf cell of exactly `len` bytes for a small rowid (len at least 3
// and not 131, which no payload length gives).
Bytes leaf_cell(int64_t rowid, size_t len) {
  for (size_t head = 3; head <= 7; ++head) {
    Bytes payload(len - head, static_cast<uint8_t>(rowid));
    Bytes c = cell::encode_leaf(rowid, payload.size(), payload);
    if (c.size() == len) return c;
  }
  ADD_FAILURE() << "no cell of length " << len;
  return {};
}

struct TestPage {
  explicit TestPage(size_t size, uint8_t kind = node::kTableLeaf) : bytes(size, 0xEE) {
    node::init(bytes, size, kind);
  }
  node::Page page() { return bytes; }
  size_t count() { return node::count(bytes).value(); }
  size_t content_start() { return get_be16(bytes.data() + 3); }
  size_t pointer(size_t i) { return get_be16(bytes.data() + 12 + 2 * i); }
  bool insert(size_t i, const Bytes& c) {
    return node::insert_cell_raw(bytes, bytes.size(), i, c).value();
  }
  std::vector<uint8_t> bytes;
};

TEST(Node, FreshPages) {
  TestPage p(4096);
  EXPECT_EQ(p.bytes[0], node::kTableLeaf);
  EXPECT_EQ(p.count(), 0u);
  EXPECT_EQ(p.content_start(), 4096u);
  EXPECT_EQ(node::right_child(p.bytes), 0u);
  EXPECT_EQ(p.bytes[5], 0);
  EXPECT_EQ(p.bytes[6], 0);
  EXPECT_EQ(p.bytes[11], 0);

  TestPage big(65536);
  EXPECT_EQ(big.content_start(), 0u);  // 65536 stored as 0
  ASSERT_TRUE(big.insert(0, leaf_cell(1, 10)));
  EXPECT_EQ(big.pointer(0), 65526u);
  EXPECT_EQ(big.content_start(), 65526u);
}

TEST(Node, CellsPackFromTheBackPointersKeepKeyOrder) {
  TestPage p(4096);
  ASSERT_TRUE(p.insert(0, leaf_cell(20, 100)));
  ASSERT_TRUE(p.insert(0, leaf_cell(10, 100)));
  EXPECT_EQ(p.pointer(0), 3896u);
  EXPECT_EQ(p.pointer(1), 3996u);
  EXPECT_EQ(node::leaf_rowid_at(p.bytes, 0).value(), 10);
  EXPECT_EQ(node::cell_at(p.bytes, 1).value().size(), 100u);
}

TEST(Node, RemovedCellsAreDeadSpaceUntilARepack) {
  TestPage p(4096);
  ASSERT_TRUE(p.insert(0, leaf_cell(1, 100)));  // 3996
  ASSERT_TRUE(p.insert(1, leaf_cell(2, 100)));  // 3896
  node::remove_cell(p.page(), 0);
  EXPECT_EQ(p.count(), 1u);
  EXPECT_EQ(p.pointer(0), 3896u);
  EXPECT_EQ(p.content_start(), 3896u);

  // Fill the gap so that the next insert must repack: the gap is
  // 3896 - 14 = 3882 bytes; one cell of 3880 with its pointer takes it all.
  ASSERT_TRUE(p.insert(1, leaf_cell(3, 3880)));
  EXPECT_EQ(p.content_start(), 16u);
  ASSERT_TRUE(p.insert(2, leaf_cell(4, 90)));  // only the 100 dead bytes can take it
  EXPECT_EQ(p.pointer(0) + 100, 4096u);         // the survivor now ends the page
  EXPECT_EQ(node::leaf_rowid_at(p.bytes, 0).value(), 2);
  EXPECT_EQ(node::leaf_rowid_at(p.bytes, 1).value(), 3);
  EXPECT_EQ(node::leaf_rowid_at(p.bytes, 2).value(), 4);
}

TEST(Node, FullPageRefusesAndStaysUnchanged) {
  TestPage p(512);
  // 500 bytes of cell area: four cells of 119 take 484 with pointers.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(p.insert(static_cast<size_t>(i), leaf_cell(i, 119)));
  node::remove_cell(p.page(), 1);  // 137 bytes free, but the gap is only 18
  const auto before = p.bytes;
  EXPECT_FALSE(p.insert(3, leaf_cell(9, 136)));  // needs 138: one byte short
  EXPECT_EQ(p.bytes, before);
  EXPECT_TRUE(p.insert(3, leaf_cell(9, 135)));   // fits after a repack
  EXPECT_EQ(p.count(), 4u);
}

TEST(Node, EmptiedPageRepacksToItsEnd) {
  TestPage p(512);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(p.insert(static_cast<size_t>(i), leaf_cell(i, 120)));
  node::truncate_cells(p.page(), 0);  // content start stays at 32
  ASSERT_TRUE(p.insert(0, leaf_cell(7, 130)));
  EXPECT_EQ(p.pointer(0), 512u - 130u);
}

TEST(Node, LeafFindAndInteriorChildIndex) {
  TestPage empty(4096);
  auto pos = node::leaf_find(empty.bytes, 1).value();
  EXPECT_EQ(pos.index, 0u);
  EXPECT_FALSE(pos.found);

  TestPage leaf(4096);
  TestPage interior(4096, node::kTableInterior);
  for (int64_t key : {10, 20, 30}) {
    ASSERT_TRUE(leaf.insert(leaf.count(), leaf_cell(key, 10)));
    ASSERT_TRUE(interior.insert(interior.count(), cell::encode_interior(static_cast<uint32_t>(key), key)));
  }
  node::set_right_child(interior.page(), 99);
  struct {
    int64_t rowid;
    size_t index;
    bool found;
  } const finds[] = {{20, 1, true}, {15, 1, false}, {31, 3, false}, {-5, 0, false}, {10, 0, true}};
  for (const auto& f : finds) {
    auto r = node::leaf_find(leaf.bytes, f.rowid).value();
    EXPECT_EQ(r.index, f.index) << f.rowid;
    EXPECT_EQ(r.found, f.found) << f.rowid;
  }
  struct {
    int64_t rowid;
    size_t slot;
  } const slots[] = {{10, 0}, {11, 1}, {30, 2}, {31, 3}, {INT64_MIN, 0}};
  for (const auto& s : slots) EXPECT_EQ(node::interior_child_index(interior.bytes, s.rowid).value(), s.slot);
  EXPECT_EQ(node::child_at(interior.bytes, 1).value(), 20u);
  EXPECT_EQ(node::child_at(interior.bytes, 3).value(), 99u);

  TestPage index_interior(4096, node::kIndexInterior);
  const uint8_t key[] = {1, 2};
  ASSERT_TRUE(index_interior.insert(0, cell::encode_index_interior(5, key)));
  node::set_right_child(index_interior.page(), 6);
  EXPECT_EQ(node::child_at(index_interior.bytes, 0).value(), 5u);
  EXPECT_EQ(node::child_at(index_interior.bytes, 1).value(), 6u);
  auto k = node::index_interior_key(node::cell_at(index_interior.bytes, 0).value()).value();
  EXPECT_EQ(Bytes(k.begin(), k.end()), Bytes({1, 2}));
}

TEST(Node, CorruptPagesAreReportedNotTrusted) {
  auto corrupt = [](auto result) {
    return !result.has_value() && result.error().kind() == Error::Kind::Corrupt;
  };
  TestPage p(512);
  ASSERT_TRUE(p.insert(0, leaf_cell(1, 20)));
  ASSERT_TRUE(p.insert(1, leaf_cell(2, 20)));

  auto bad_count = p.bytes;
  put_be16(bad_count.data() + 1, 300);  // 12 + 600 > 512
  EXPECT_TRUE(corrupt(node::leaf_find(bad_count, 1)));
  EXPECT_TRUE(corrupt(node::insert_cell_raw(bad_count, 512, 0, leaf_cell(3, 10))));

  auto bad_pointer = p.bytes;
  put_be16(bad_pointer.data() + 12, 600);
  EXPECT_TRUE(corrupt(node::cell_at(bad_pointer, 0)));
  put_be16(bad_pointer.data() + 12, 4);  // inside the header
  EXPECT_TRUE(corrupt(node::leaf_rowid_at(bad_pointer, 0)));

  auto long_cell = p.bytes;
  const size_t at = get_be16(long_cell.data() + 12);
  long_cell[at] = 0x7f;  // total 127
  long_cell[at + 1] = 0x7f;  // local 127: runs past the page end
  EXPECT_TRUE(corrupt(node::cell_at(long_cell, 0)));
  auto bad_start = p.bytes;
  bad_start[3] = 0x10;  // content start 4096 on a 512-byte page
  bad_start[4] = 0x00;
  EXPECT_TRUE(corrupt(node::insert_cell_raw(bad_start, 512, 0, leaf_cell(3, 10))));

  auto bad_varint = p.bytes;
  const size_t at2 = get_be16(bad_varint.data() + 14);
  std::fill(bad_varint.begin() + static_cast<std::ptrdiff_t>(at2), bad_varint.end(), 0xff);
  EXPECT_TRUE(corrupt(node::leaf_rowid_at(bad_varint, 1)));
}

// The readers a search calls for every probed cell: what they read, and
// what they make of a cell cut short, whether the short form is read
// inline or out of line.
TEST(Cell, SearchReadersOfWholeAndCutCells) {
  struct Case {
    const char* what;
    Bytes cell;
    std::function<Result<int64_t>(cell::CBytes)> read;
    std::optional<int64_t> value;  // none: Corrupt
  };
  auto key_len = [](size_t at) {
    return [at](cell::CBytes c) -> Result<int64_t> {
      return static_cast<int64_t>(VBK_TRY(cell::index_key(c, at)).size());
    };
  };
  const Case cases[] = {
      {"index key, one-byte length", {0x02, 0x10, 0x20}, key_len(0), 2},
      {"index key, one-byte length past the end", {0x05, 0x10, 0x20}, key_len(0), std::nullopt},
      {"index key, two-byte length", [] {
         Bytes b{0x81, 0x01};
         b.resize(2 + 129, 0x33);
         return b;
       }(), key_len(0), 129},
      {"index key, two-byte length past the end", {0x81, 0x01, 0x33}, key_len(0), std::nullopt},
      {"index key, no length", {}, key_len(0), std::nullopt},
      {"interior index key, child cut", {0x00, 0x00, 0x09}, key_len(4), std::nullopt},
      {"interior index key", {0x00, 0x00, 0x00, 0x09, 0x01, 0x44}, key_len(4), 1},
      {"table key", {0x00, 0x00, 0x00, 0x07, 0xD8, 0x04}, cell::interior_key, 300},
      {"table key, child cut", {0x00, 0x00, 0x07}, cell::interior_key, std::nullopt},
      {"table key missing", {0x00, 0x00, 0x00, 0x07}, cell::interior_key, std::nullopt},
      {"table key cut", {0x00, 0x00, 0x00, 0x07, 0xD8}, cell::interior_key, std::nullopt},
      {"rowid", {0x03, 0x03, 0x02, 0xAA, 0xBB, 0xCC}, cell::leaf_rowid, 1},
      {"rowid of three bytes", {0x00, 0x00, 0x80, 0x80, 0x01}, cell::leaf_rowid, 8192},
      {"rowid missing", {0x03, 0x03}, cell::leaf_rowid, std::nullopt},
      {"rowid cut", {0x00, 0x00, 0x80, 0x80}, cell::leaf_rowid, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Result<int64_t> r = c.read(c.cell);
    if (c.value) {
      ASSERT_TRUE(r.has_value()) << r.error().display();
      EXPECT_EQ(*r, *c.value);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), Error::Kind::Corrupt);
    }
  }
}

TEST(Cell, GoldenEncodings) {
  const uint8_t payload[] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(cell::encode_leaf(1, 3, payload), Bytes({0x03, 0x03, 0x02, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(cell::encode_leaf(-1, 0, {}), Bytes({0x00, 0x00, 0x01}));
  Bytes min_rowid = cell::encode_leaf(INT64_MIN, 0, {});
  EXPECT_EQ(min_rowid, Bytes({0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));
  EXPECT_EQ(cell::encode_interior(7, 300), Bytes({0, 0, 0, 7, 0xD8, 0x04}));
  EXPECT_EQ(cell::encode_interior(7, -1), Bytes({0, 0, 0, 7, 0x01}));
  const uint8_t key[] = {0x10, 0x20, 0x30};
  EXPECT_EQ(cell::encode_index_leaf(key), Bytes({0x03, 0x10, 0x20, 0x30}));
  EXPECT_EQ(cell::encode_index_interior(9, key), Bytes({0, 0, 0, 9, 0x03, 0x10, 0x20, 0x30}));

  Bytes local(1978, 0x5A);
  Bytes big = cell::encode_leaf(5, 5000, local, 77);
  ASSERT_EQ(big.size(), 1987u);
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 5), Bytes({0x88, 0x27, 0xBA, 0x0F, 0x0A}));
  auto head = cell::parse_leaf_head(big).value();
  EXPECT_EQ(head.total, 5000u);
  EXPECT_EQ(head.local, 1978u);
  EXPECT_EQ(head.rowid, 5);
  EXPECT_TRUE(head.has_overflow);
  EXPECT_EQ(cell::leaf_overflow(big).value(), 77u);
  EXPECT_EQ(cell::leaf_cell_len(big).value(), 1987u);
  EXPECT_EQ(cell::max_local(512), 186u);
  EXPECT_EQ(cell::max_local(4096), 1978u);
  EXPECT_EQ(cell::max_local(65536), 32698u);
}

}  // namespace
}  // namespace vbk
