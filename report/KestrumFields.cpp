#include "report/KestrumFields.h"

#include <algorithm>

namespace report {
namespace {

unsigned char Lower1252(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
  }
}

}  // namespace

std::string_view TrimControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return Lower1252(static_cast<unsigned char>(x)) == Lower1252(static_cast<unsigned char>(y));
         });
}

// Lock and Unlock for the scope of one operation.
class FieldList::Guard {
 public:
  explicit Guard(const FieldList& list) : list_(const_cast<FieldList&>(list)) { list_.Lock(); }
  ~Guard() { list_.Unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  FieldList& list_;
};

void FieldList::SetOwner(FieldListOwner* owner) {
  // Not through Lock: the update opened on the old owner would be closed on the new one.
  std::lock_guard<std::recursive_mutex> g(section_);
  owner_ = owner;
}

void FieldList::AcceptData() {
  Guard g(*this);
  acceptData_ = true;
}

void FieldList::SetAddIndex(int addIndex) {
  Guard g(*this);
  addIndex_ = addIndex;
}

void FieldList::Lock() {
  section_.lock();
  if (owner_) owner_->BeginUpdate();
}

void FieldList::Unlock() {
  if (owner_) owner_->EndUpdate();
  section_.unlock();
}

void FieldList::WithoutUpdates(const std::function<void()>& fn) {
  std::lock_guard<std::recursive_mutex> g(section_);
  fn();
}

std::string FieldList::Name(int index) const {
  Guard g(*this);
  return index >= 0 && index < count_ ? items_[index].first : std::string();
}

void FieldList::SetName(int index, std::string_view name) {
  Guard g(*this);
  if (index < 0 || index >= count_ || items_[index].first == name) return;
  if (const int other = FindLocked(name); other >= 0 && other != index) return;
  items_[index].first.assign(name);
  ModifiedLocked();
}

int FieldList::Find(std::string_view name) const {
  Guard g(*this);
  return FindLocked(name);
}

int FieldList::FindLocked(std::string_view name) const {
  for (int i = 0; i < count_; ++i) {
    if (SameName(items_[i].first, name)) return i;
  }
  return -1;
}

std::string FieldList::Content(std::string_view name) const {
  Guard g(*this);
  const int i = FindLocked(name);
  return i >= 0 ? items_[i].second : std::string();
}

void FieldList::SetContent(std::string_view name, std::string_view content) {
  Guard g(*this);
  if (!acceptData_) return;
  content = TrimControls(content);
  const int i = FindLocked(name);
  if (content.empty()) {
    DeleteLocked(i);
  } else if (i >= 0) {
    if (items_[i].first == name && items_[i].second == content) return;
    items_[i] = {std::string(name), std::string(content)};
    ModifiedLocked();
  } else {
    InsertLocked(addIndex_ > 0 ? addIndex_ : count_, name, content);
  }
}

void FieldList::Insert(int index, std::string_view name, std::string_view content) {
  Guard g(*this);
  if (!acceptData_) return;
  content = TrimControls(content);
  if (content.empty()) return;
  InsertLocked(index, name, content);
}

void FieldList::InsertLocked(int index, std::string_view name, std::string_view content) {
  index = std::clamp(index, 0, count_);
  if (const int old = FindLocked(name); old >= 0) {
    if (old == index && items_[old].second == content) return;
    DeleteLocked(old);
    if (old < index) --index;
  }
  if (items_.capacity() == items_.size()) items_.reserve(items_.empty() ? 16 : items_.size() * 3 / 2);
  items_.insert(items_.begin() + index, Item(name, content));
  count_ = static_cast<int>(items_.size());
  if (addIndex_ > 0 && addIndex_ >= index) ++addIndex_;
  ModifiedLocked();
}

void FieldList::Delete(int index) {
  Guard g(*this);
  DeleteLocked(index);
}

void FieldList::DeleteLocked(int index) {
  if (index < 0 || index >= count_) return;
  items_.erase(items_.begin() + index);
  count_ = static_cast<int>(items_.size());
  if (addIndex_ > 0 && addIndex_ > index) --addIndex_;
  ModifiedLocked();
}

void FieldList::ModifiedLocked() {
  if (owner_) owner_->Modified(*this);
}

std::vector<FieldList::Item> FieldList::Items() const {
  Guard g(*this);
  return items_;
}

std::string FieldList::AddFieldsText() const {
  Guard g(*this);
  std::string text;
  for (const Item& item : items_) {
    if (!text.empty()) text += '|';
    text += item.first + '=' + item.second;
  }
  return text;
}

void FieldList::CopyTo(FieldList& target) const {
  const std::vector<Item> items = Items();
  target.AcceptData();
  for (const Item& item : items) target.Add(item.first, item.second);
}

}  // namespace report
