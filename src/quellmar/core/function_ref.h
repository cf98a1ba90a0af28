#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quellmar {

// A borrowed, non-owning reference to a callable; it must not outlive the callable it refers to.
// Cheap to copy: two pointers.
template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
           std::is_invocable_r_v<R, F&, Args...>)
      FunctionRef(F&& f)  // NOLINT: implicit, like a reference
      : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* obj, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(obj))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(obj_, std::forward<Args>(args)...); }

 private:
  void* obj_;
  R (*call_)(void*, Args...);
};

}  // namespace quellmar
