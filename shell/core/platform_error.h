// Failures of platform calls: exceptions carrying a 32-bit code, logged as "0x%08X".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace shell {

inline constexpr uint32_t CODE_FILE_NOT_FOUND = 0x80070002;
inline constexpr uint32_t CODE_ACCESS_DENIED = 0x80070005;
inline constexpr uint32_t CODE_OUT_OF_MEMORY = 0x8007000E;
inline constexpr uint32_t CODE_FAIL = 0x80004005;

uint32_t error_code_from_errno(int error);

class PlatformError : public std::runtime_error {
public:
    PlatformError(uint32_t code, const std::string &message) : std::runtime_error(message), code_(code) {}
    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

// A PlatformError for the current errno, with `what` naming the failed step.
[[noreturn]] void throw_errno(const std::string &what);

}  // namespace shell
