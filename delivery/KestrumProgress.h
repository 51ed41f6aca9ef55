// The progress of a piece of work divided into weighted areas: which area is current, how far it
// has come, and where the bar stands (0 .. 1000) over all of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace delivery {

constexpr int kProgressRange = 1000;

class ProgressAreas {
 public:
  // An empty text takes the text of the area before it.
  void AddArea(std::int64_t weight, const std::string& text);
  void ClearAreas();
  // Moves to area value; value == AreaCount() means all done (the last area at full position).
  // Anything else outside 0 .. AreaCount(), or the current area again, changes nothing. Returns
  // whether the area changed.
  bool SetCurrentArea(int value);
  void SetPosition(int value) { position_ = value; }

  int CurrentArea() const { return current_; }
  int Position() const { return position_; }
  int AreaCount() const { return static_cast<int>(areas_.size()); }
  std::int64_t Total() const { return total_; }
  // The current area's text; "" without areas.
  std::string CurrentText() const;
  // Texts from the current area to the last, the ones the window must find room for.
  std::vector<std::string> TextsFromCurrent() const;
  // The bar's value for the current area and position. With no weight at all the bar is empty.
  int BarValue() const;

 private:
  struct Area {
    std::int64_t start;
    std::int64_t weight;
    std::string text;
  };
  std::vector<Area> areas_;
  std::int64_t total_ = 0;
  int current_ = 0;
  int position_ = 0;
};

}  // namespace delivery
