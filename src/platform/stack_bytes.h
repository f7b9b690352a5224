// The bytes a 32-bit stdcall function takes off the stack when it returns:
// each argument rounded up to 4 bytes, a pointer 4. The decorated names of the
// export tables (Name@Bytes) carry that number, and a caller whose pointer type
// takes a different count leaves the stack off by the difference. The call
// lists check their numbers against their parameters with it, in every build.
#pragma once

#include <cstddef>
#include <type_traits>

template <typename Function>
struct StdcallStackBytes;

template <typename Return, typename... Arguments>
struct StdcallStackBytes<Return(Arguments...)> {
  template <typename T>
  static constexpr size_t Of() {
    return std::is_pointer_v<T> ? 4 : (sizeof(T) + 3) / 4 * 4;
  }
  static constexpr size_t value = (size_t{0} + ... + Of<Arguments>());
};
