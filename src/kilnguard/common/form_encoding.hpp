// application/x-www-form-urlencoded bodies, as HTML forms and urllib's
// urlencode() write them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kilnguard::form {

using Field = std::pair<std::string_view, std::string_view>;  // name, value; both UTF-8

// The fields in order as name=value joined by "&". ASCII letters, digits and
// "_.-~" stay as they are, a space becomes "+", and every other byte becomes
// "%" and two upper-case hex digits.
std::string encode(const std::vector<Field>& fields);

}  // namespace kilnguard::form
