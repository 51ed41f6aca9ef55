#pragma once
// The framework's event types: what a control, a thread or a device calls back when something
// happens. Pure, so that pure code can hold events too.

#include <functional>

class TObject;

// A handler that takes the sender; any callable.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// An event: an object and one of its methods, or empty. Two events are the same when both the
// object and the method are, so a setter can tell whether the handler really changes.
template <class Sig>
class TMethodEvent;

template <class R, class... A>
class TMethodEvent<R(A...)> {
 public:
  using Code = R (*)(void* data, A... args);

  TMethodEvent() = default;
  TMethodEvent(void* data, Code code) : data_(data), code_(code) {}

  // The method M of obj.
  template <auto M, class C>
  static TMethodEvent Of(C* obj) {
    return TMethodEvent(obj, [](void* d, A... args) -> R { return (static_cast<C*>(d)->*M)(args...); });
  }

  explicit operator bool() const { return code_ != nullptr; }
  bool operator==(const TMethodEvent& other) const { return data_ == other.data_ && code_ == other.code_; }
  R operator()(A... args) const { return code_(data_, args...); }

 private:
  void* data_ = nullptr;
  Code code_ = nullptr;
};
