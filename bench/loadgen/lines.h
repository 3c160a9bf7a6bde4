// SPDX-License-Identifier: MIT
// The chat lines the load generator sends, and how a received text is recognised: a
// chat line, a proper prefix of one, a damaged one, or the hub's join notice.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace loadgen {

// Chat texts. None may contain '_' (0x5F): on the lanchat wire it starts a new
// segment. UTF-8 continuation and lead bytes are never 0x5F, so only the ASCII
// part matters.
constexpr std::array<std::string_view, 5> kPhrases = {
    "こんにちは、テストです",
    "今日はいい天気ですね。",
    "了解しました！　また後で",
    "負荷試験：行の順序と欠落を確認中",
    "ｶﾀｶﾅ・漢字・ABC 123 の混在",
};
constexpr int kSeqDigits = 7;
// "bNN >> " + 7 digits + " " : the fixed-size head of every chat line.
constexpr size_t kHeadLen = 3 + 4 + kSeqDigits + 1;

std::string clientName(int idx);  // idx 0-based; names b01..b99
std::string chatLine(int sender, long seq);

enum class Check { Ok, Incomplete, Bad, NotChat };

// Checks one received chat value against the line that was sent.
// NotChat: the text does not start like a chat line (notices and the like).
// Incomplete: a proper prefix of a valid line.
Check checkChat(std::string_view v, int clients, long sentSoFar, int &sender, long &seq);

// The hub's own nickname (unless empty) or a client name bNN.
bool isKnownName(std::string_view n, std::string_view hubName);
// The hub's join notice: "*****　" + name + "さんが入室しました" + ("　*****" or
// "  *****"); who is the name.
bool isJoinNotice(std::string_view v, std::string &who);

}  // namespace loadgen
