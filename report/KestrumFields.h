// The ordered name/content list that a bug report's header fields and sections are held in while
// the report is built: names compare without regard to case, contents are never empty, and a
// change made under the list's lock is reported once to the list's owner.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace report {

class FieldList;

// The exception object or the settings object a list belongs to.
class FieldListOwner {
 public:
  virtual ~FieldListOwner() = default;
  // Around every locked operation, so that a burst of changes ends in one notice.
  virtual void BeginUpdate() = 0;
  virtual void EndUpdate() = 0;
  // After a change, still under the list's lock.
  virtual void Modified(const FieldList& list) = 0;
};

// The content as stored: without leading and trailing characters 0 to 32.
std::string_view TrimControls(std::string_view text);
// Names compare without regard to case, in code page 1252.
bool SameName(std::string_view a, std::string_view b);

class FieldList {
 public:
  using Item = std::pair<std::string, std::string>;  // name, content

  FieldList() = default;
  FieldList(const FieldList&) = delete;
  FieldList& operator=(const FieldList&) = delete;

  // The owner is told about changes; null forgets it (the owner is going away). Not while this
  // thread holds Lock.
  void SetOwner(FieldListOwner* owner);
  // Until AcceptData, SetContent, Add and Insert change nothing.
  void AcceptData();
  // Where new items go; 0 appends. Each insertion at or before it moves it on by one.
  void SetAddIndex(int addIndex);

  // Holds the list (and an update of the owner) across several operations. Nests.
  void Lock();
  void Unlock();
  // Runs fn holding the list without opening an update (for an owner that changes its links).
  void WithoutUpdates(const std::function<void()>& fn);

  int Count() const { return count_; }
  std::string Name(int index) const;
  // Renames the item at index (exact comparison decides whether anything changes); a name that
  // another item holds is refused.
  void SetName(int index, std::string_view name);
  int Find(std::string_view name) const;
  std::string Content(std::string_view name) const;
  // Empty (after trimming) deletes the item; a new name goes to the add index or the end.
  void SetContent(std::string_view name, std::string_view content);
  void Add(std::string_view name, std::string_view content) { SetContent(name, content); }
  // index is clamped to 0..Count(); an item of the same name elsewhere moves here.
  void Insert(int index, std::string_view name, std::string_view content);
  void Delete(int index);
  void Delete(std::string_view name) { Delete(Find(name)); }

  // A snapshot in order, taken under the lock.
  std::vector<Item> Items() const;
  // The items as the settings key AddFields stores them: "name=content" joined by "|".
  std::string AddFieldsText() const;
  // A list of its own that accepts data, without owner, with the same items.
  void CopyTo(FieldList& target) const;

 private:
  class Guard;
  void InsertLocked(int index, std::string_view name, std::string_view content);
  void DeleteLocked(int index);
  int FindLocked(std::string_view name) const;
  void ModifiedLocked();

  mutable std::recursive_mutex section_;
  FieldListOwner* owner_ = nullptr;
  std::vector<Item> items_;
  int count_ = 0;  // read without the lock
  int addIndex_ = 0;
  bool acceptData_ = false;
};

}  // namespace report
