#include "json/value.h"

#include <algorithm>
#include <cstring>

#include "base/insertion_sort.h"

namespace vennu::json {

void Object::set(std::string key, Value value) {
  auto it =
      std::lower_bound(members_.begin(), members_.end(), key,
                       [](const Member& member, const std::string& k) { return member.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

const Value* Object::find(std::string_view key) const {
  auto it =
      std::lower_bound(members_.begin(), members_.end(), key,
                       [](const Member& member, std::string_view k) { return member.first < k; });
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Object Object::from_unsorted(std::vector<Member> members) {
  const auto key_less = [](const Member& a, const Member& b) { return a.first < b.first; };
  const auto out_of_order =
      std::adjacent_find(members.begin(), members.end(),
                         [&](const Member& a, const Member& b) { return !key_less(a, b); });
  if (out_of_order != members.end()) {
    if (members.size() <= kInsertionSortLimit) {
      insertion_sort(members.begin(), members.end(), key_less);
    } else {
      std::stable_sort(members.begin(), members.end(), key_less);
    }
    auto kept = members.begin();
    for (auto it = members.begin(); it != members.end();) {
      auto next = it + 1;
      while (next != members.end() && next->first == it->first) ++next;
      if (kept != next - 1) *kept = std::move(*(next - 1));
      ++kept;
      it = next;
    }
    members.erase(kept, members.end());
  }
  Object object;
  object.members_ = std::move(members);
  return object;
}

bool Object::operator==(const Object& other) const { return members_ == other.members_; }

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  // clang-format off
  switch (kind()) {
    case Kind::kNull: return true;
    case Kind::kBool: return as_bool() == other.as_bool();
    case Kind::kUnsigned: return as_unsigned() == other.as_unsigned();
    case Kind::kSigned: return as_signed() == other.as_signed();
    case Kind::kDouble: {
      const double a = as_double();
      const double b = other.as_double();
      return std::memcmp(&a, &b, sizeof a) == 0;
    }
    case Kind::kString: return as_string() == other.as_string();
    case Kind::kArray: return as_array() == other.as_array();
    case Kind::kObject: return as_object() == other.as_object();
  }
  // clang-format on
  return false;
}

}  // namespace vennu::json
