// The three number grammars the readers accept, and counter arithmetic.
//
// Promises: the parsers never fail loudly. Each grammar comes as a check that
// tells a failure (nullopt) apart from a parsed zero; the float grammars also
// as a form that gives 0.0 for anything outside the grammar, a missing token
// included. Conversions are locale-independent and exact: a float is rounded
// once, to nearest, ties to even.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmere::sys_reader {

// Grammar: optional single '+', then one or more ASCII digits, value at most
// 2^64 - 1 (leading zeros allowed). nullopt for anything else.
std::optional<std::uint64_t> parse_u64(std::string_view token) noexcept;
// Grammar: optional single '+', one or more hex digits (either case), value
// at most 0xFFFFFFFF (leading zeros allowed). No "0x" prefix of its own.
std::optional<std::uint32_t> parse_hex_u32(std::string_view token) noexcept;
// Grammar: optional sign, then digits with optional '.' and fraction (at least
// one digit in all) and optional exponent ('e' or 'E', optional sign, at least
// one digit); or inf, infinity, nan in any case. Correctly rounded to nearest,
// ties to even; overflow gives infinity and underflow zero.
std::optional<float> parse_f32(std::string_view token) noexcept;
std::optional<double> parse_f64(std::string_view token) noexcept;

// The float grammars with the zero fallback. A missing token (nullopt, e.g. a
// line with fewer fields than asked for) also gives zero.
float parse_f32_or_zero(std::optional<std::string_view> token) noexcept;
double parse_f64_or_zero(std::optional<std::string_view> token) noexcept;

// current - previous, or 0 when the counter went back.
constexpr std::uint64_t saturating_sub(std::uint64_t current, std::uint64_t previous) noexcept {
  return current > previous ? current - previous : 0;
}

// a + b and a * b, or nullopt when the result does not fit 64 bits.
constexpr std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}
constexpr std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

}  // namespace quillmere::sys_reader
