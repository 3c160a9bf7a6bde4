// SPDX-License-Identifier: MIT
// The chat texts the churn driver's clients send, and the form of a steady line.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace churn {

// Chat texts: none contains '_', which starts a new message on the wire.
constexpr std::array<std::string_view, 4> kPhrases = {
    "こんにちは、テストです", "今日はいい天気ですね。", "了解しました！　また後で",
    "ｶﾀｶﾅ・漢字・ABC 123 の混在"};

// A steady line: "sNN >> " + 7-digit number + " " + a text chosen by the number.
std::string steadyLine(int sender, long seq);

// Whether a segment is a steady line: "_SendM s" + 2 digits + " >> ". Returns the
// sender, -1 when it is not one, -2 when it is too short to tell.
int steadySender(std::string_view seg);

// The number of a steady line's value ("sNN >> " + 7 digits + " " ...), 0 when those
// are not digits and a space.
long steadySeq(std::string_view value);

}  // namespace churn
