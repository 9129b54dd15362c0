// SPDX-License-Identifier: Apache-2.0
#pragma once
// An XPath expression whose user-given texts (category, service, property,
// option, template and field names) travel as bound variables ($name), so a
// name holding quotes or brackets can never change the expression.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talvenix {

class XPath {
 public:
  struct Variable {
    std::string name;
    std::string text;  // used when !is_number
    double number = 0;
    bool is_number = false;
  };

  XPath() = default;
  explicit XPath(std::string_view text) : text_(text) {}

  // Appends a literal piece of the expression.
  XPath& operator+=(std::string_view piece) {
    text_ += piece;
    return *this;
  }
  // Appends "$name" and binds it to a text or a number.
  XPath& Bind(std::string_view name, std::string value);
  XPath& BindNumber(std::string_view name, double value);
  // Appends another expression with its variables.
  XPath& Append(const XPath& other);

  // The expression with each variable's value written in its place, for logs.
  std::string Describe() const;

  const std::string& text() const { return text_; }
  const std::vector<Variable>& variables() const { return variables_; }

 private:
  std::string text_;
  std::vector<Variable> variables_;
};

}  // namespace talvenix
