#pragma once
// Lets a test make the n-th next nothrow new[] of its program fail, which is how
// the program allocates what may not fit. Replaces the operator: include it in
// one file of a test program only.

#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace tamblet::test {
// Counts down with each nothrow new[]; the one that finds 0 fails. Negative: none does.
inline std::atomic<int> allocations_until_failure{-1};
}  // namespace tamblet::test

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  if (tamblet::test::allocations_until_failure.fetch_sub(1) == 0) return nullptr;
  // Otherwise the allocator's own: a request beyond any memory fails as it
  // would there, also under AddressSanitizer, whose throwing new aborts.
  using NothrowNew = void* (*)(std::size_t, const std::nothrow_t&);
  static const auto next = reinterpret_cast<NothrowNew>(::dlsym(RTLD_NEXT, "_ZnamRKSt9nothrow_t"));
  return next(size, tag);
}

// Under a sanitizer, a nothrow new[] beyond its largest size returns null only
// with this; otherwise it aborts the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
