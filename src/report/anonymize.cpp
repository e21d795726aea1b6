#include "report/anonymize.h"

#include <algorithm>
#include <new>

#include "support/text.h"

namespace vantrel {
namespace {

constexpr std::string_view kLocalIpLabel = "Local IP:";
constexpr std::string_view kComputerLabel = "Computer name:";
constexpr std::string_view kHidden = " [hidden]";
constexpr std::string_view kUser = "[user]";
constexpr std::string_view kComputer = "[computer]";
constexpr std::string_view kLocalAddress = "[local address]";
constexpr size_t kMaxProfileName = 128;

// Pass 1: a labelled line keeps its label and loses its value.
std::string HideLabelledValues(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    const std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    size_t at = line.find(kLocalIpLabel);
    size_t label_size = kLocalIpLabel.size();
    if (at == std::string_view::npos) {
      at = line.find(kComputerLabel);
      label_size = kComputerLabel.size();
    }
    if (at == std::string_view::npos) {
      out.append(line);
    } else {
      out.append(line.substr(0, at + label_size)).append(kHidden);
      if (!line.empty() && line.back() == '\r') out.push_back('\r');
    }
    if (end == std::string_view::npos) break;
    out.push_back('\n');
    start = end + 1;
  }
  return out;
}

bool EndsProfileName(unsigned char c) {
  switch (c) {
    case '\0':
    case '\t':
    case '\n':
    case '\r':
    case '"':
    case '\'':
    case '/':
    case '<':
    case '>':
    case '\\':
    case '|': return true;
    default: return false;
  }
}

bool IsSharedProfile(std::string_view name) {
  static constexpr std::string_view kShared[] = {"public", "default", "default user", "all users", "[user]"};
  for (std::string_view shared : kShared) {
    if (EqualsNoCase(name, shared)) return true;
  }
  return false;
}

// Pass 2: the folder name after a profile prefix becomes [user] unless it is shared.
std::string HideProfileNames(std::string_view text) {
  static constexpr std::string_view kPrefixes[] = {"\\users\\", "/users/", "\\documents and settings\\"};
  std::string out;
  out.reserve(text.size() + 16);
  size_t i = 0;
  size_t copied = 0;  // text before this is already in `out`
  while (i < text.size()) {
    // Every prefix starts with a slash or a backslash; skip to the next one.
    if (text[i] != '\\' && text[i] != '/') {
      ++i;
      continue;
    }
    size_t prefix_size = 0;
    for (std::string_view prefix : kPrefixes) {
      if (text.size() - i >= prefix.size() && EqualsNoCase(text.substr(i, prefix.size()), prefix)) {
        prefix_size = prefix.size();
        break;
      }
    }
    if (prefix_size == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(copied, i + prefix_size - copied));
    i += prefix_size;
    size_t name_end = i;
    while (name_end < text.size() && name_end - i < kMaxProfileName &&
           !EndsProfileName(static_cast<unsigned char>(text[name_end]))) {
      ++name_end;
    }
    const std::string_view name = text.substr(i, name_end - i);
    if (name.empty() || IsSharedProfile(name)) {
      out.append(name);
    } else {
      out.append(kUser);
    }
    i = name_end;
    copied = i;
  }
  out.append(text.substr(copied));
  return out;
}

struct Rule {
  std::string_view needle;
  std::string_view replacement;
};

// One rule over the whole text: the needle as a whole word, letters without case.
std::string ReplaceWord(std::string_view text, const Rule& rule) {
  const std::string_view needle = rule.needle;
  std::string out;
  out.reserve(text.size() + 16);
  const char first = AsciiLower(needle[0]);
  const char first_upper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
  size_t i = 0;
  size_t copied = 0;  // text before this is already in `out`
  while (i < text.size()) {
    const bool matches =
        (text[i] == first || text[i] == first_upper) && text.size() - i >= needle.size() &&
        (i == 0 || !IsAsciiAlnum(static_cast<unsigned char>(text[i - 1]))) &&
        (i + needle.size() == text.size() || !IsAsciiAlnum(static_cast<unsigned char>(text[i + needle.size()]))) &&
        EqualsNoCase(text.substr(i, needle.size()), needle);
    if (matches) {
      out.append(text.substr(copied, i - copied)).append(rule.replacement);
      i += needle.size();
      copied = i;
    } else {
      ++i;
    }
  }
  out.append(text.substr(copied));
  return out;
}

// Pass 3: the computer and user names, longest first so a longer name is not cut by a
// shorter one it contains.
std::string HideKnownNames(std::string text, const std::vector<std::string>& computer_names,
                           const std::vector<std::string>& user_names) {
  std::vector<Rule> rules;
  rules.reserve(computer_names.size() + user_names.size());
  for (const std::string& name : computer_names) rules.push_back({name, kComputer});
  for (const std::string& name : user_names) rules.push_back({name, kUser});
  std::stable_sort(rules.begin(), rules.end(),
                   [](const Rule& a, const Rule& b) { return a.needle.size() > b.needle.size(); });
  for (const Rule& rule : rules) {
    if (rule.needle.size() < 2) continue;
    text = ReplaceWord(text, rule);
  }
  return text;
}

// Reads a dotted quad at `at`; false when the bytes there are not one. `end` is the
// position after the fourth group.
bool ReadDottedQuad(std::string_view text, size_t at, unsigned values[4], size_t* end) {
  size_t i = at;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t digits_start = i;
    unsigned value = 0;
    while (i < text.size() && IsAsciiDigit(static_cast<unsigned char>(text[i]))) {
      if (i - digits_start == 3) return false;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (i == digits_start || value > 255) return false;
    values[group] = value;
  }
  if (i + 1 < text.size() && text[i] == '.' && IsAsciiDigit(static_cast<unsigned char>(text[i + 1]))) return false;
  *end = i;
  return true;
}

bool IsLocalAddress(const unsigned v[4]) {
  return v[0] == 10 || v[0] == 127 || (v[0] == 172 && v[1] >= 16 && v[1] <= 31) || (v[0] == 192 && v[1] == 168) ||
         (v[0] == 169 && v[1] == 254);
}

// Pass 4: private, loopback and link-local IPv4 addresses.
std::string HideLocalAddresses(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t i = 0;
  size_t copied = 0;  // text before this is already in `out`
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool can_start =
        IsAsciiDigit(c) && (i == 0 || (text[i - 1] != '.' && !IsAsciiDigit(static_cast<unsigned char>(text[i - 1]))));
    unsigned values[4];
    size_t end = 0;
    if (!can_start || !ReadDottedQuad(text, i, values, &end)) {
      ++i;
      continue;
    }
    // Other addresses stay in the text and are copied with what surrounds them.
    if (IsLocalAddress(values)) {
      out.append(text.substr(copied, i - copied)).append(kLocalAddress);
      copied = end;
    }
    i = end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

bool Anonymize(std::string_view text, const std::vector<std::string>& computer_names,
               const std::vector<std::string>& user_names, std::string* out) {
  out->clear();
  try {
    std::string step = HideLabelledValues(text);
    step = HideProfileNames(step);
    step = HideKnownNames(std::move(step), computer_names, user_names);
    *out = HideLocalAddresses(step);
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
}

}  // namespace vantrel
