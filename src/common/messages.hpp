// Every text the module shows to its callers, in one place: callers and
// tests match them exactly.  Each is built only when its error occurs.
#pragma once

#include <string>
#include <string_view>

namespace marlet_py::messages {

// Failures of the module frame.
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kSubinterpreter =
    "marlet._native does not support subinterpreters: it was already initialised in another interpreter";
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kAppendToAll = "could not append __name__ to __all__";
inline constexpr std::string_view kDictSetItem = "Failed to set_item on dict";
inline constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";
inline constexpr const char* kResumingPanic =
    "marlet._native: resuming an internal failure after fetching a PanicException from Python\n"
    "Python stack trace below:\n";
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary\n";
inline constexpr const char* kPanicTypeFailed = "Failed to initialize new exception type.\n";

// PanicException itself.
inline constexpr const char* kPanicName = "bridge_runtime.PanicException";
inline constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python fails internally\n"
    "(panics).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "usually propagates all the way up the stack and makes the interpreter exit.\n";

// Argument conversion.
inline constexpr std::string_view kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kFailedTypeName = "<failed to extract type name>";
inline constexpr std::string_view kUnprintableObject = "<unprintable object>";

inline std::string quoted(std::string_view s) {
  std::string out = "'";
  out.append(s).push_back('\'');
  return out;
}

// "'{type}' object cannot be converted to '{target}'"
inline std::string cannot_convert(std::string_view type_name, std::string_view target) {
  return quoted(type_name) + " object cannot be converted to " + quoted(target);
}

// "argument '{name}': {text}"
inline std::string in_argument(std::string_view name, std::string_view text) {
  return "argument " + quoted(name) + ": " + std::string(text);
}

inline std::string unprintable(std::string_view type_name) {
  return "<unprintable " + std::string(type_name) + " object>";
}

// Argument binding; {f} is the function's message form, e.g. "parse_marl()".
inline std::string too_many_positional(std::string_view f, std::size_t takes, std::size_t given) {
  return std::string(f) + " takes " + std::to_string(takes) + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given";
}

inline std::string unexpected_keyword(std::string_view f, std::string_view name) {
  return std::string(f) + " got an unexpected keyword argument " + quoted(name);
}

inline std::string multiple_values(std::string_view f, std::string_view name) {
  return std::string(f) + " got multiple values for argument " + quoted(name);
}

inline std::string missing_positional(std::string_view f, std::string_view name) {
  return std::string(f) + " missing 1 required positional argument: " + quoted(name);
}

// Prefix, then ": ", then a description of the pending Python exception.
inline std::string with_pending(std::string_view prefix, std::string_view type_repr, std::string_view value_repr,
                                std::string_view traceback_repr) {
  return std::string(prefix) + ": " + std::string(type_repr) + ": " + std::string(value_repr) +
         " (traceback: " + std::string(traceback_repr) + ")";
}

}  // namespace marlet_py::messages
