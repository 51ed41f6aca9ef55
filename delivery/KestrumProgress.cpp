#include "delivery/KestrumProgress.h"

namespace delivery {

void ProgressAreas::AddArea(std::int64_t weight, const std::string& text) {
  std::string own = text.empty() && !areas_.empty() ? areas_.back().text : text;
  areas_.push_back({total_, weight, std::move(own)});
  total_ += weight;
}

void ProgressAreas::ClearAreas() {
  areas_.clear();
  total_ = 0;
  current_ = 0;
}

bool ProgressAreas::SetCurrentArea(int value) {
  if (value == current_ || value < 0 || value > AreaCount()) return false;
  if (value == AreaCount()) {
    current_ = value - 1;
    position_ = kProgressRange;
  } else {
    current_ = value;
    position_ = 0;
  }
  return true;
}

std::string ProgressAreas::CurrentText() const {
  if (current_ < 0 || current_ >= AreaCount()) return {};
  return areas_[static_cast<std::size_t>(current_)].text;
}

std::vector<std::string> ProgressAreas::TextsFromCurrent() const {
  std::vector<std::string> texts;
  for (int i = current_ < 0 ? 0 : current_; i < AreaCount(); ++i) texts.push_back(areas_[static_cast<std::size_t>(i)].text);
  return texts;
}

int ProgressAreas::BarValue() const {
  // No areas, or weights that add up to nothing: an empty bar rather than a division by zero.
  if (total_ <= 0 || current_ < 0 || current_ >= AreaCount()) return 0;
  const Area& area = areas_[static_cast<std::size_t>(current_)];
  const std::int64_t done = area.start + area.weight * position_ / kProgressRange;
  const std::int64_t value = done * kProgressRange / total_;
  return static_cast<int>(value < 0 ? 0 : value > kProgressRange ? kProgressRange : value);
}

}  // namespace delivery
