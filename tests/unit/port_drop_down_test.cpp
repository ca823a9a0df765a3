// The port drop-down's in-place refresh.
#include "app_harness.h"

namespace quelmar::testing {
namespace {

struct RefreshCase {
  const char* name;
  std::vector<int> before, after;
  int selected, selected_after;
  std::vector<std::string> texts_after;
};

class Refresh : public ::testing::TestWithParam<RefreshCase> {};

std::vector<link::PortEntry> Present(const std::vector<int>& numbers) {
  std::vector<link::PortEntry> out;
  for (int n : numbers) out.push_back({n, "/dev/x" + std::to_string(n), false});
  return out;
}

TEST_P(Refresh, KeepsTheSelectionAndUpdatesInPlace) {
  const RefreshCase& c = GetParam();
  FakePortSystem ports;
  FakeDropDown drop_down;
  link::PortList list;
  ports.present = Present(c.before);
  app::FillPortList(drop_down, list, ports);
  EXPECT_EQ(drop_down.current, 0);
  drop_down.current = c.selected;

  ports.present = Present(c.after);
  app::RefreshPortList(drop_down, list, ports);
  EXPECT_EQ(drop_down.Texts(), c.texts_after);
  EXPECT_EQ(drop_down.current, c.selected_after);
  if (!c.after.empty()) {
    EXPECT_EQ(drop_down.entries.back().second, "/dev/x" + std::to_string(c.after.back()));
    EXPECT_EQ(list.PortNumberAt(drop_down.Count() - 2), c.after.back());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refresh,
    ::testing::Values(
        RefreshCase{"ShrinkMovesSelectionOff3", {3, 5, 7}, {5}, 3, 1, {"----", "COM 5"}},
        RefreshCase{"ShrinkMovesSelectionOff2", {3, 5, 7}, {5}, 2, 1, {"----", "COM 5"}},
        RefreshCase{"ShrinkKeepsDash", {3, 5, 7}, {5}, 0, 0, {"----", "COM 5"}},
        RefreshCase{"RenumberInPlace", {3}, {4}, 1, 1, {"----", "COM 4"}},
        RefreshCase{"NoPorts", {3, 7}, {}, 2, 0, {"----"}},
        RefreshCase{"GrowAppends", {3}, {3, 5, 127}, 1, 1, {"----", "COM 3", "COM 5", "COM 127"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FillPortList, DashThenOnePortEachAscending) {
  FakePortSystem ports;
  FakeDropDown drop_down;
  link::PortList list;
  ports.present = Present({7, 3, 200, 3});  // unsorted, out of range, twice
  app::FillPortList(drop_down, list, ports);
  EXPECT_EQ(drop_down.Texts(), (std::vector<std::string>{"----", "COM 3", "COM 7"}));
  EXPECT_EQ(drop_down.current, 0);
}

}  // namespace
}  // namespace quelmar::testing
