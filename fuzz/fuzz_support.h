// Shared pieces of the fuzz targets: a check that stops the run with the
// offending input printed, the input as the readers get it, and reference
// versions of the text primitives and number grammars that the targets
// compare the readers with. Built once (fuzz_support.cpp) and linked into
// every target.
//
// The references are independent oracles, not copies of the library: each is
// written another way, for obviousness rather than speed. White space is
// found by comparing against the UTF-8 encodings of the listed code points,
// UTF-8 is checked by decoding code points, integers are checked character
// class by character class with overflow caught by the compiler's checked
// arithmetic, and floats are converted by the C library. The one library
// call here, decode_utf8_lossy in ReaderText, is there on purpose: it makes
// the text the readers really get (the utf8 target checks it against its
// reference).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::fuzz {

// --- Failing a run -----------------------------------------------------------

// The bytes as lower-case hex, two digits each.
std::string hex(std::string_view bytes);

// Prints what went wrong and the input (hex) and aborts, which libFuzzer
// reports as a crash and saves the input as an artifact.
[[noreturn]] void fail(const char* file, int line, const char* what, std::string_view input,
                       const std::string& detail);

// FUZZ_CHECK(condition, input[, detail string])
#define FUZZ_CHECK(cond, input, ...)                                                         \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      ::quillmere::fuzz::fail(__FILE__, __LINE__, #cond, (input), std::string(__VA_ARGS__)); \
    }                                                                                        \
  } while (false)

// --- The input ---------------------------------------------------------------

std::string_view as_text(const std::uint8_t* data, std::size_t size);

// The input as the readers get it: read_text_file hands them valid UTF-8
// only, and the firmware tool's output is repaired with decode_utf8_lossy
// before it is parsed. Kept in a heap block of exactly its size, like
// libFuzzer's own buffer, so that ASan flags any read past its end.
class ReaderText {
 public:
  explicit ReaderText(std::string_view raw);
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

// True when `view` lies inside `buffer` (an empty view may sit at its end).
bool inside(std::string_view view, std::string_view buffer);

// `text` with every "\n" written as "\r\n". Line-based readers must give the
// same result for both: the line cutter drops that '\r', and where it stays
// (a line already ending in "\r\n") it is white space to the tokenizer.
std::string with_crlf(std::string_view text);

// --- White space -------------------------------------------------------------

// True when no white space character starts anywhere in `text`.
bool has_no_whitespace(std::string_view text);

// Every byte not covered by a white space character belongs to a token.
std::vector<std::string_view> ref_tokens(std::string_view text);

// `text` without white space characters at either end.
std::string_view ref_trim(std::string_view text);

// --- UTF-8 -------------------------------------------------------------------

bool ref_is_valid_utf8(std::string_view bytes);

// Copies valid characters; each maximal ill-formed subpart (the longest
// prefix of a character that cannot be completed, at least one byte) becomes
// U+FFFD.
std::string ref_decode_utf8_lossy(std::string_view bytes);

// --- Number grammars ---------------------------------------------------------

// [+] digit+ with the value checked against 2^64 - 1 digit by digit.
std::optional<std::uint64_t> ref_u64(std::string_view text);

// [+] hexdigit+ with the value checked against 2^32 - 1 digit by digit.
std::optional<std::uint32_t> ref_hex_u32(std::string_view text);

// The most significant digits (leading zeros not counted) in any run of
// decimal digits in `text`: with at most 16, every number in it is below 10^16.
std::size_t max_significant_digits(std::string_view text);

// [+-] then inf | infinity | nan (any case), or
// digits [. digits] with at least one digit, then optionally [eE] [+-] digit+.
bool ref_float_grammar(std::string_view text);

// The C library's conversion (correctly rounded in glibc) of text that
// passed ref_float_grammar. Returns nullopt if it did not consume all of it,
// which would mean the reference itself is wrong. Float is float or double.
template <typename Float>
std::optional<Float> ref_float(std::string_view text);

// Equal as the readers promise: NaN matches any NaN, zeros must agree in sign,
// everything else bit for bit. Float is float or double.
template <typename Float>
bool same_float(Float a, Float b);

// The value in hex and in decimal, for messages.
std::string describe(double value);

}  // namespace quillmere::fuzz
