#include "realm/manifest.h"

#include <new>
#include <nlohmann/json.hpp>

#include "launcher/worker.h"
#include "realm/game_path.h"
#include "support/fixed_text.h"
#include "support/sha256.h"
#include "support/text.h"

namespace vantrel {

namespace {

constexpr size_t kAddressLimit = 120;
// Arguments longer than the state's text would be cut mid-switch; they are refused instead.
constexpr size_t kArgumentsLimit = kFixedTextCapacity;

enum class Field : uint8_t {
  kUnknown,
  kRealm,
  kAddress,
  kSite,
  kRevision,
  kStart,
  kLauncher,
  kFiles,
  kNews,
  kExe,
  kArgs,
  kSha256,
  kSize,
  kPath,
  kBlockmap,
};

enum class Frame : uint8_t { kTop, kStart, kLauncher, kFiles, kFile, kBlockmap };

struct KnownKey {
  Frame frame;
  std::string_view name;
  Field field;
};

constexpr KnownKey kKnownKeys[] = {
    {Frame::kTop, "realm", Field::kRealm},        {Frame::kTop, "address", Field::kAddress},
    {Frame::kTop, "site", Field::kSite},          {Frame::kTop, "revision", Field::kRevision},
    {Frame::kTop, "start", Field::kStart},        {Frame::kTop, "launcher", Field::kLauncher},
    {Frame::kTop, "files", Field::kFiles},        {Frame::kTop, "news", Field::kNews},
    {Frame::kStart, "exe", Field::kExe},          {Frame::kStart, "args", Field::kArgs},
    {Frame::kLauncher, "sha256", Field::kSha256}, {Frame::kLauncher, "size", Field::kSize},
    {Frame::kFile, "path", Field::kPath},         {Frame::kFile, "sha256", Field::kSha256},
    {Frame::kFile, "size", Field::kSize},         {Frame::kFile, "blockmap", Field::kBlockmap},
    {Frame::kBlockmap, "size", Field::kSize},     {Frame::kBlockmap, "sha256", Field::kSha256},
};

constexpr uint32_t Bit(Field field) { return 1u << static_cast<uint32_t>(field); }

struct Level {
  Frame frame;
  uint32_t seen = 0;
};

// Reads the document event by event, so a repeated key is seen (a DOM would keep one of
// the two silently) and sizes are judged from the number's own text, not from a double.
class ManifestReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit ManifestReader(Manifest* manifest) : manifest_(manifest) {}

  bool complete() const { return complete_; }

  bool null() override {
    if (Skipping()) return true;
    if (InFileList()) return false;
    if (ForBlockmap()) return PassOver();
    if (pending_ == Field::kLauncher) {
      manifest_->has_launcher = false;
      return true;
    }
    return pending_ == Field::kUnknown && !stack_.empty();
  }
  bool boolean(bool) override { return ScalarOfNoKnownType(); }
  bool binary(binary_t&) override { return ScalarOfNoKnownType(); }

  bool number_integer(number_integer_t value) override {
    if (Skipping()) return true;
    if (InFileList()) return false;
    if (ForBlockmap() && pending_ != Field::kSize) return PassOver();
    if (pending_ == Field::kSize) return Size(value >= 0, static_cast<uint64_t>(value));
    return pending_ == Field::kUnknown && !stack_.empty();
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (Skipping()) return true;
    if (InFileList()) return false;
    if (ForBlockmap() && pending_ != Field::kSize) return PassOver();
    if (pending_ == Field::kSize) return StoreSize(value);
    return pending_ == Field::kUnknown && !stack_.empty();
  }
  bool number_float(number_float_t, const string_t& text) override {
    if (Skipping()) return true;
    if (InFileList()) return false;
    if (ForBlockmap() && pending_ != Field::kSize) return PassOver();
    if (pending_ == Field::kSize) {
      uint64_t value = 0;
      const bool whole = ParseWholeNumber(text, &value);
      return Size(whole, value);
    }
    return pending_ == Field::kUnknown && !stack_.empty();
  }

  bool string(string_t& value) override {
    if (Skipping()) return true;
    if (InFileList() || stack_.empty()) return false;
    if (pending_ == Field::kBlockmap) return PassOver();
    switch (pending_) {
      case Field::kUnknown: return true;
      case Field::kRealm: manifest_->realm = std::move(value); return true;
      case Field::kAddress: manifest_->address = std::move(value); return true;
      case Field::kSite: return true;
      case Field::kRevision: manifest_->revision = std::move(value); return true;
      case Field::kNews: manifest_->news = std::move(value); return true;
      case Field::kExe: manifest_->exe = std::move(value); return true;
      case Field::kArgs: manifest_->args = std::move(value); return true;
      case Field::kPath: manifest_->files.back().path = std::move(value); return true;
      case Field::kSha256: Sha256Field() = std::move(value); return true;
      case Field::kSize: {
        uint64_t size = 0;
        const bool whole = ParseWholeNumber(value, &size);
        return Size(whole, size);
      }
      case Field::kStart:
      case Field::kLauncher:
      case Field::kFiles:
      case Field::kBlockmap: return false;
    }
    return false;
  }

  bool start_object(std::size_t) override {
    if (Skipping()) {
      ++skip_depth_;
      return true;
    }
    if (stack_.empty()) {
      if (complete_) return false;
      stack_.push_back({Frame::kTop});
      return true;
    }
    if (InFileList()) {
      manifest_->files.emplace_back();
      stack_.push_back({Frame::kFile});
      blockmap_refused_ = false;
      return true;
    }
    if (ForBlockmap() && pending_ != Field::kBlockmap) {
      skip_depth_ = 1;
      return PassOver();
    }
    switch (pending_) {
      case Field::kUnknown: skip_depth_ = 1; return true;
      case Field::kStart: stack_.push_back({Frame::kStart}); return true;
      case Field::kBlockmap: stack_.push_back({Frame::kBlockmap}); return true;
      case Field::kLauncher:
        manifest_->has_launcher = true;
        stack_.push_back({Frame::kLauncher});
        return true;
      default: return false;
    }
  }

  bool end_object() override {
    if (Skipping()) {
      --skip_depth_;
      return true;
    }
    const Level level = stack_.back();
    stack_.pop_back();
    pending_ = Field::kUnknown;
    switch (level.frame) {
      case Frame::kLauncher: return Has(level, Bit(Field::kSha256) | Bit(Field::kSize));
      case Frame::kFile: return Has(level, Bit(Field::kPath) | Bit(Field::kSha256) | Bit(Field::kSize));
      case Frame::kBlockmap: {
        ManifestFile& file = manifest_->files.back();
        file.has_blockmap = !blockmap_refused_ && Has(level, Bit(Field::kSize) | Bit(Field::kSha256)) &&
                            IsHashText(file.blockmap_sha256);
        return true;
      }
      case Frame::kTop: complete_ = true; return true;
      default: return true;
    }
  }

  bool start_array(std::size_t) override {
    if (Skipping()) {
      ++skip_depth_;
      return true;
    }
    if (stack_.empty() || InFileList()) return false;
    if (pending_ == Field::kUnknown || ForBlockmap()) {
      skip_depth_ = 1;
      return pending_ == Field::kUnknown || PassOver();
    }
    if (pending_ != Field::kFiles) return false;
    stack_.push_back({Frame::kFiles});
    return true;
  }

  bool end_array() override {
    if (Skipping()) {
      --skip_depth_;
      return true;
    }
    stack_.pop_back();
    pending_ = Field::kUnknown;
    return true;
  }

  bool key(string_t& name) override {
    if (Skipping()) return true;
    Level& level = stack_.back();
    pending_ = Field::kUnknown;
    for (const KnownKey& known : kKnownKeys) {
      if (known.frame == level.frame && known.name == name) {
        if (level.seen & Bit(known.field)) {
          // A known key given twice refuses the document; inside a file's map it costs the map only.
          if (known.field != Field::kBlockmap && level.frame != Frame::kBlockmap) return false;
          blockmap_refused_ = true;
        }
        level.seen |= Bit(known.field);
        pending_ = known.field;
        break;
      }
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool Skipping() const { return skip_depth_ > 0; }
  bool InFileList() const { return !stack_.empty() && stack_.back().frame == Frame::kFiles; }
  static bool Has(const Level& level, uint32_t bits) { return (level.seen & bits) == bits; }

  bool ScalarOfNoKnownType() {
    if (Skipping()) return true;
    if (!InFileList() && ForBlockmap()) return PassOver();
    return !stack_.empty() && !InFileList() && pending_ == Field::kUnknown;
  }

  bool StoreSize(uint64_t value) {
    switch (stack_.back().frame) {
      case Frame::kFile: manifest_->files.back().size = value; break;
      case Frame::kBlockmap: manifest_->files.back().blockmap_size = value; break;
      default: manifest_->launcher_size = value; break;
    }
    return true;
  }

  std::string& Sha256Field() {
    switch (stack_.back().frame) {
      case Frame::kFile: return manifest_->files.back().sha256;
      case Frame::kBlockmap: return manifest_->files.back().blockmap_sha256;
      default: return manifest_->launcher_sha256;
    }
  }

  // The value is a file's "blockmap", or that of a known key inside it.
  bool ForBlockmap() const {
    return pending_ == Field::kBlockmap ||
           (!stack_.empty() && stack_.back().frame == Frame::kBlockmap && pending_ != Field::kUnknown);
  }
  // A map of the wrong shape is passed over and costs the entry its map only, where another
  // key would refuse the document: a launcher that predates maps skips the key whatever it holds.
  bool PassOver() {
    blockmap_refused_ = true;
    return true;
  }
  bool Size(bool whole, uint64_t value) {
    if (whole) return StoreSize(value);
    return ForBlockmap() && PassOver();
  }

  Manifest* manifest_;
  std::vector<Level> stack_;
  Field pending_ = Field::kUnknown;
  size_t skip_depth_ = 0;
  bool complete_ = false;
  bool blockmap_refused_ = false;  // for the file entry being read
};

// Cut to the state's capacity without splitting a UTF-8 character, so the window can always
// convert what it shows.
std::string_view CutText(std::string_view text) {
  if (text.size() <= kFixedTextCapacity) return text;
  size_t length = kFixedTextCapacity;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return text.substr(0, length);
}

}  // namespace

bool IsPassableArguments(std::string_view args) {
  if (args.size() > kArgumentsLimit) return false;
  for (unsigned char c : args) {
    if (c < 0x20 || c > 0x7E) return false;
    switch (c) {
      case '"':
      case '%':
      case '&':
      case '<':
      case '>':
      case '^':
      case '|': return false;
      default: break;
    }
  }
  return true;
}

bool ParseWholeNumber(std::string_view text, uint64_t* value) {
  size_t i = 0;
  const bool negative = i < text.size() && text[i] == '-';
  if (negative) ++i;
  const size_t int_start = i;
  while (i < text.size() && IsAsciiDigit(static_cast<unsigned char>(text[i]))) ++i;
  const std::string_view int_digits = text.substr(int_start, i - int_start);
  if (int_digits.empty() || (int_digits.size() > 1 && int_digits[0] == '0')) return false;
  std::string_view frac_digits;
  if (i < text.size() && text[i] == '.') {
    const size_t start = ++i;
    while (i < text.size() && IsAsciiDigit(static_cast<unsigned char>(text[i]))) ++i;
    frac_digits = text.substr(start, i - start);
    if (frac_digits.empty()) return false;
  }
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exponent_negative = text[i++] == '-';
    const size_t start = i;
    while (i < text.size() && IsAsciiDigit(static_cast<unsigned char>(text[i]))) {
      // Past a billion the answer no longer depends on the exact exponent.
      if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (i == start) return false;
    if (exponent_negative) exponent = -exponent;
  }
  if (i != text.size()) return false;

  // The value is digits * 10^scale, with the digits stripped of leading and trailing zeros.
  std::string digits;
  digits.reserve(int_digits.size() + frac_digits.size());
  digits.append(int_digits).append(frac_digits);
  int64_t scale = exponent - static_cast<int64_t>(frac_digits.size());
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    *value = 0;  // zero in any spelling, "-0" included
    return true;
  }
  if (negative) return false;
  digits.erase(0, first);
  while (digits.back() == '0') {
    digits.pop_back();
    ++scale;
  }
  if (scale < 0) return false;  // a non-zero fraction
  if (static_cast<int64_t>(digits.size()) + scale > 20) return false;
  uint64_t result = 0;
  for (char c : digits) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  for (int64_t k = 0; k < scale; ++k) {
    if (result > UINT64_MAX / 10) return false;
    result *= 10;
  }
  *value = result;
  return true;
}

bool ParseManifest(std::string_view body, Manifest* manifest) {
  Manifest parsed;
  ManifestReader reader(&parsed);
  try {
    if (!nlohmann::json::sax_parse(body.begin(), body.end(), &reader, nlohmann::json::input_format_t::json, true)) {
      return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  if (!reader.complete()) return false;
  *manifest = std::move(parsed);
  return true;
}

std::string_view ValidateManifest(const Manifest& manifest) {
  if (manifest.address.empty() || manifest.address.size() > kAddressLimit) return "the realm's address is missing";
  if (!IsGamePath(manifest.exe) || !EndsWithNoCase(manifest.exe, ".exe")) {
    return "the game program the site names isn't one the launcher will start";
  }
  if (!IsPassableArguments(manifest.args)) return "the game's arguments have characters the launcher won't pass";
  if (manifest.has_launcher && !IsHashText(manifest.launcher_sha256)) return "the launcher's hash isn't one";
  for (const ManifestFile& file : manifest.files) {
    if (!IsGamePath(file.path)) return "a file's path isn't one the launcher will write";
    if (!IsHashText(file.sha256)) return "a file's hash isn't one";
  }
  return {};
}

bool AcceptManifestAnswer(const FetchResult& answer, Manifest* manifest, ManifestFailure* failure) {
  failure->headline.clear();
  failure->detail.clear();
  if (answer.error != HttpError::kNone) {
    failure->headline = "Can't reach the realm right now";
    failure->detail = RequestFailureReason(answer.error);
    return false;
  }
  if (answer.status != 200) {
    failure->headline = "The realm didn't answer properly";
    try {
      failure->detail = "It said " + Decimal(answer.status) + ". You can still play with the files you have.";
    } catch (const std::bad_alloc&) {
      failure->detail.clear();
    }
    return false;
  }
  Manifest parsed;
  if (!ParseManifest(answer.body, &parsed)) {
    failure->headline = "The realm's answer didn't make sense";
    failure->detail = "This launcher may be too old: download it again from the site.";
    return false;
  }
  if (const std::string_view fault = ValidateManifest(parsed); !fault.empty()) {
    failure->headline = "The realm's file list was refused";
    failure->detail = fault;
    return false;
  }
  *manifest = std::move(parsed);
  return true;
}

FetchResult FetchManifestAnswer(HttpSession& session, std::string_view realm_address) {
  FetchResult answer;
  try {
    std::string address(realm_address);
    address += kManifestPath;
    answer = Fetch(session, "GET", address, {}, {}, kManifestLimit);
  } catch (const std::bad_alloc&) {
    answer = FetchResult();
    answer.error = HttpError::kOutOfMemory;
  }
  return answer;
}

bool FetchManifest(HttpSession& session, std::string_view realm_address, Manifest* manifest, ManifestFailure* failure) {
  return AcceptManifestAnswer(FetchManifestAnswer(session, realm_address), manifest, failure);
}

void PublishManifest(WorkerContext& context, const Manifest& manifest) {
  LauncherState& state = *context.state;
  {
    os::LockGuard guard(state.lock);
    state.realm_name.Set(CutText(manifest.realm.empty() ? std::string_view("Realm") : manifest.realm));
    state.news.Set(CutText(manifest.news));
    state.game_program.Set(CutText(manifest.exe));
    state.game_arguments.Set(CutText(manifest.args));
    state.realm_game_address.Set(CutText(manifest.address));
  }
  // Only the worker writes the file set, so it needs no lock.
  context.file_set.Set(CutText(manifest.revision));
  Notify(context);
}

}  // namespace vantrel
