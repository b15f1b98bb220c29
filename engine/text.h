// Small text rules shared by the update run: trimming, the version order, the
// percentage text, the update-site address and request addresses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velloran {

// The version order: byte-wise by code value from the left; a text sorts after
// its own beginning; the empty text sorts before every other text.
bool sortsAfter(std::string_view a, std::string_view b);

// "N%" where N = floor(100 * requested / announced), exact in 64 bits.
// Precondition: announced > 0.
std::string percentageText(std::uint64_t requested, std::uint64_t announced);

// A byte count as a manifest's FileSize writes it: decimal digits only, no
// sign or blank, within 64 bits. nullopt for anything else.
std::optional<std::uint64_t> parseByteCount(std::string_view text);

// Gives the compiled-in address a trailing "/" and, when it has no scheme,
// "http://" in front. An address that already starts with http:// or https://
// (any letter case) keeps its scheme. Empty stays empty.
std::string normaliseSiteAddress(std::string_view address);

// Percent-encodes the bytes that cannot stand in a URL (controls, space,
// DEL, non-ASCII, and the few ASCII characters never valid in a URL such as
// '"', '<', '>', '\\', '^', '`', '{', '|', '}', and '#', which would cut the
// path at a file name that holds one); everything else, including '/', '%',
// '?', and doubled slashes, goes as it stands.
std::string encodeRequestAddress(std::string_view address);

}  // namespace velloran
