// SPDX-License-Identifier: Apache-2.0
#include "config/xpath.hpp"

namespace talvenix {

XPath& XPath::Bind(std::string_view name, std::string value) {
  text_ += '$';
  text_ += name;
  variables_.push_back({std::string(name), std::move(value), 0, false});
  return *this;
}

XPath& XPath::BindNumber(std::string_view name, double value) {
  text_ += '$';
  text_ += name;
  variables_.push_back({std::string(name), {}, value, true});
  return *this;
}

XPath& XPath::Append(const XPath& other) {
  text_ += other.text_;
  variables_.insert(variables_.end(), other.variables_.begin(), other.variables_.end());
  return *this;
}

std::string XPath::Describe() const {
  std::string out = text_;
  for (const Variable& v : variables_) {
    std::string marker = "$" + v.name;
    size_t at = out.find(marker);
    if (at == std::string::npos) continue;
    std::string value = v.is_number ? std::to_string(static_cast<long long>(v.number)) : "\"" + v.text + "\"";
    out.replace(at, marker.size(), value);
  }
  return out;
}

}  // namespace talvenix
