// SPDX-License-Identifier: Apache-2.0
#include "gateways/internet/clickatell_answer.hpp"

#include <nlohmann/json.hpp>

namespace talvenix::internet {
namespace {

// An error code given as a number or as a numeric text; false for null and the rest.
bool JsonErrorCode(const nlohmann::json& value, int& code) {
  if (value.is_number_integer() && value.get<int64_t>() >= 0 && value.get<int64_t>() <= INT32_MAX) {
    code = static_cast<int>(value.get<int64_t>());
    return true;
  }
  if (value.is_number_unsigned() && value.get<uint64_t>() <= INT32_MAX) {
    code = static_cast<int>(value.get<uint64_t>());
    return true;
  }
  return value.is_string() && ReadErrorNumber(value.get<std::string>(), code);
}

ClickatellAnswer ParseJsonAnswer(const nlohmann::json& doc) {
  ClickatellAnswer answer;
  const nlohmann::json* first = nullptr;
  if (auto m = doc.find("messages"); m != doc.end() && m->is_array() && !m->empty() && m->front().is_object())
    first = &m->front();
  if (first) {
    auto id = first->find("apiMessageId");
    auto accepted = first->find("accepted");
    if (id != first->end() && id->is_string() && !id->get<std::string>().empty() &&
        (accepted == first->end() || (accepted->is_boolean() && accepted->get<bool>()))) {
      answer.kind = ClickatellAnswer::kSent;
      answer.message_id = id->get<std::string>();
      return answer;
    }
  }
  for (const nlohmann::json* holder : {first, &doc}) {
    if (!holder) continue;
    auto code = holder->find("errorCode");
    if (code == holder->end() || code->is_null()) continue;
    answer.kind =
        JsonErrorCode(*code, answer.error_code) ? ClickatellAnswer::kError : ClickatellAnswer::kMalformedError;
    return answer;
  }
  return answer;
}

}  // namespace

bool ExtractTagValue(std::string_view document, std::string_view key, std::string& value) {
  std::string open = "<" + std::string(key) + ">";
  std::string close = "</" + std::string(key) + ">";
  size_t start = document.find(open);
  size_t end = document.find(close);
  if (start == std::string_view::npos || end == std::string_view::npos || end <= start + open.size()) return false;
  value.assign(document.substr(start + open.size(), end - start - open.size()));
  return true;
}

bool ReadErrorNumber(std::string_view text, int& number) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  int64_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return false;
  }
  if (digits == 0) return false;
  number = static_cast<int>(value);
  return true;
}

ClickatellAnswer ParseCentralAnswer(std::string_view response) {
  ClickatellAnswer answer;
  if (response.size() >= 5 && response.substr(0, 4) == "ID: ") {
    answer.kind = ClickatellAnswer::kSent;
    answer.message_id = response.substr(4);
  } else if (response.size() >= 6 && response.substr(0, 5) == "ERR: ") {
    answer.kind = ReadErrorNumber(response.substr(5), answer.error_code) ? ClickatellAnswer::kError
                                                                         : ClickatellAnswer::kMalformedError;
  }
  return answer;
}

ClickatellAnswer ParsePlatformAnswer(std::string_view response) {
  size_t first = response.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && response[first] == '{') {
    nlohmann::json doc = nlohmann::json::parse(response.begin(), response.end(), nullptr, false);
    if (!doc.is_discarded() && doc.is_object()) return ParseJsonAnswer(doc);
  }
  ClickatellAnswer answer;
  std::string value;
  if (ExtractTagValue(response, "ApiMessageId", answer.message_id)) {
    answer.kind = ClickatellAnswer::kSent;
  } else if (ExtractTagValue(response, "ErrorCode", value)) {
    answer.kind =
        ReadErrorNumber(value, answer.error_code) ? ClickatellAnswer::kError : ClickatellAnswer::kMalformedError;
  }
  return answer;
}

}  // namespace talvenix::internet
