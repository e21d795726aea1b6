#include "realm-site/signing.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <ostream>
#include <vector>

#include "realm/manifest_signature.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

constexpr uint64_t kKeyFileLimit = 4096;
constexpr char kSerialFile[] = ".realm-site-serial";

// realm-site's secret key: "Ed", key id, Ed25519 seed, public key. The public key lets a load
// tell a damaged file from a good one.
constexpr size_t kOwnSecretBytes = 2 + sizeof(KeyId) + 32 + kEd25519KeyBytes;
// minisign's: "Ed", KDF ("\0\0" when unencrypted), checksum kind, KDF salt and limits, key id,
// seed and public key, checksum.
constexpr size_t kMinisignSecretBytes = 158;
constexpr size_t kMinisignKdfAt = 2;
constexpr size_t kMinisignKeyIdAt = 54;

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Wipes a buffer that held secret key bytes when it goes out of scope.
class Wiped {
 public:
  explicit Wiped(std::string& bytes) : bytes_(bytes) {}
  ~Wiped() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

 private:
  std::string& bytes_;
};

std::string Errno(int error) { return std::strerror(error); }

bool SignEd25519(EVP_PKEY* key, std::string_view message, Ed25519Signature* signature) {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  size_t length = signature->size();
  return ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestSign(ctx.get(), signature->data(), &length, reinterpret_cast<const unsigned char*>(message.data()),
                        message.size()) == 1 &&
         length == signature->size();
}

bool RawPublicKey(EVP_PKEY* key, Ed25519Key* public_key) {
  size_t length = public_key->size();
  return EVP_PKEY_get_raw_public_key(key, public_key->data(), &length) == 1 && length == public_key->size();
}

// Writes a new file (never over an existing one) with `mode`, flushed to disk.
bool WriteNewFile(const std::string& path, std::string_view content, mode_t mode, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "can't create " + path + ": " + Errno(errno);
    return false;
  }
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) && ::fsync(fd) == 0;
  if (!ok) *error = "can't write " + path + ": " + Errno(errno);
  if (::close(fd) != 0 && ok) {
    *error = "can't write " + path + ": " + Errno(errno);
    ok = false;
  }
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// The seed and key id of a secret key file in either form; checks that the seed gives the
// public key the file carries.
bool ParseSecretKey(const std::string& path, std::string_view text, std::string* seed, KeyId* id, std::string* error) {
  const size_t line_end = text.find('\n');
  std::string_view line = line_end == std::string_view::npos ? std::string_view() : text.substr(line_end + 1);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::string raw;
  Wiped wipe_raw(raw);
  if (!text.starts_with("untrusted comment:") || !Base64Decode(line, &raw)) {
    *error = path + " isn't a secret key file (make one with realm-site keygen or minisign -G -W)";
    return false;
  }
  size_t id_at = 0;
  if (raw.size() == kOwnSecretBytes && raw.starts_with("Ed")) {
    id_at = 2;
  } else if (raw.size() == kMinisignSecretBytes && raw.starts_with("Ed")) {
    if (raw.compare(kMinisignKdfAt, 2, std::string_view("\0\0", 2)) != 0) {
      *error = path + " is protected by a password; realm-site needs a key without one (minisign -G -W, or " +
               "minisign -C -W to remove the password)";
      return false;
    }
    id_at = kMinisignKeyIdAt;
  } else {
    *error = path + " isn't a secret key realm-site can use (is it the public key?)";
    return false;
  }
  std::memcpy(id->data(), raw.data() + id_at, id->size());
  seed->assign(raw, id_at + id->size(), 32);

  Ed25519Key carried;
  std::memcpy(carried.data(), raw.data() + id_at + id->size() + 32, carried.size());
  PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                           reinterpret_cast<const unsigned char*>(seed->data()), seed->size()));
  Ed25519Key derived;
  if (!key || !RawPublicKey(key.get(), &derived) || derived != carried) {
    *error = path + " is damaged: its secret and public halves don't belong together";
    return false;
  }
  return true;
}

std::string SerialPath(const std::string& root) { return (std::filesystem::path(root) / kSerialFile).string(); }

}  // namespace

uint64_t UnixNow() {
  const std::time_t now = std::time(nullptr);
  return now < 0 ? 0 : static_cast<uint64_t>(now);
}

bool GenerateKeyPair(const std::string& folder, MinisignKey* public_key, std::string* error) {
  const std::string public_path = (std::filesystem::path(folder) / kPublicKeyFile).string();
  const std::string secret_path = (std::filesystem::path(folder) / kSecretKeyFile).string();
  std::error_code ignored;
  for (const std::string& path : {secret_path, public_path}) {
    if (std::filesystem::exists(path, ignored)) {
      *error = path + " already exists; keygen never overwrites a key";
      return false;
    }
  }
  std::filesystem::create_directories(folder, ignored);

  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  MinisignKey made;
  std::string secret(kOwnSecretBytes, '\0');
  Wiped wipe_secret(secret);
  size_t seed_length = 32;
  if (!key || RAND_bytes(made.id.data(), static_cast<int>(made.id.size())) != 1 ||
      !RawPublicKey(key.get(), &made.public_key) ||
      EVP_PKEY_get_raw_private_key(key.get(), reinterpret_cast<unsigned char*>(secret.data()) + 2 + made.id.size(),
                                   &seed_length) != 1 ||
      seed_length != 32) {
    *error = "OpenSSL couldn't make an Ed25519 key";
    return false;
  }
  secret[0] = 'E';
  secret[1] = 'd';
  std::memcpy(secret.data() + 2, made.id.data(), made.id.size());
  std::memcpy(secret.data() + 2 + made.id.size() + 32, made.public_key.data(), made.public_key.size());
  std::string secret_text = "untrusted comment: realm-site secret key " + KeyIdText(made.id) +
                            ", not encrypted: keep it secret\n" +
                            Base64Encode({reinterpret_cast<const uint8_t*>(secret.data()), secret.size()}) + "\n";
  Wiped wipe_text(secret_text);

  if (!WriteNewFile(secret_path, secret_text, 0600, error)) return false;
  if (!WriteNewFile(public_path, FormatMinisignKey(made), 0644, error)) {
    ::unlink(secret_path.c_str());
    return false;
  }
  SyncFolder(folder);
  *public_key = made;
  return true;
}

std::unique_ptr<ManifestSigner> ManifestSigner::Load(const std::string& secret_key_file, std::string* error) {
  std::string text;
  Wiped wipe_text(text);
  if (os::ReadWholeFile(secret_key_file, kKeyFileLimit, &text) != os::kOk) {
    *error = "can't read the key file " + secret_key_file;
    return nullptr;
  }
  std::string seed;
  Wiped wipe_seed(seed);
  KeyId id;
  if (!ParseSecretKey(secret_key_file, text, &seed, &id, error)) return nullptr;
  PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                           reinterpret_cast<const unsigned char*>(seed.data()), seed.size()));
  MinisignKey public_key;
  public_key.id = id;
  if (!key || !RawPublicKey(key.get(), &public_key.public_key)) {
    *error = "OpenSSL couldn't load the key in " + secret_key_file;
    return nullptr;
  }
  return std::unique_ptr<ManifestSigner>(new ManifestSigner(key.release(), public_key));
}

ManifestSigner::~ManifestSigner() { EVP_PKEY_free(static_cast<EVP_PKEY*>(key_)); }

std::string ManifestSigner::Sign(std::string_view manifest_bytes, uint64_t serial, uint64_t expires) const {
  EVP_PKEY* key = static_cast<EVP_PKEY*>(key_);
  Blake2b512Digest digest;
  Ed25519Signature signature;
  if (!Blake2b512(manifest_bytes, &digest) ||
      !SignEd25519(key, {reinterpret_cast<const char*>(digest.data()), digest.size()}, &signature)) {
    return std::string();
  }
  const std::string comment = ManifestTrustedComment(serial, expires);
  std::string global_message(reinterpret_cast<const char*>(signature.data()), signature.size());
  global_message += comment;
  Ed25519Signature global;
  if (!SignEd25519(key, global_message, &global)) return std::string();

  std::vector<uint8_t> line{'E', 'D'};
  line.insert(line.end(), public_key_.id.begin(), public_key_.id.end());
  line.insert(line.end(), signature.begin(), signature.end());
  return "untrusted comment: signature from realm-site secret key " + KeyIdText(public_key_.id) + "\n" +
         Base64Encode(line) + "\ntrusted comment: " + comment + "\n" + Base64Encode(global) + "\n";
}

bool NextSerial(const std::string& root, uint64_t now, uint64_t* serial, std::string* error) {
  const std::string path = SerialPath(root);
  const std::string lock_path = path + ".lock";
  // Two realm-site processes on one realm (serve and a timed export) must not hand out the
  // same serial.
  const int lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    *error = "can't lock " + lock_path + ": " + Errno(errno);
    if (lock >= 0) ::close(lock);
    return false;
  }
  struct LockCloser {
    int fd;
    ~LockCloser() { ::close(fd); }
  } closer{lock};

  std::string text;
  uint64_t last = 0;
  const uint32_t read = os::ReadWholeFile(path, 64, &text);
  if (read != os::kOk && read != os::kErrorFileNotFound && read != os::kErrorPathNotFound) {
    *error = "can't read " + path;
    return false;
  }
  // A damaged store can't say how high launchers have seen; starting low again would lock
  // every player out, so refuse and let the operator look.
  if (read == os::kOk && !ParseU64(TrimChars(text, " \r\n"), &last)) {
    *error = path + " is damaged; put the last serial in it (or a higher one) and try again";
    return false;
  }
  if (last == std::numeric_limits<uint64_t>::max()) {
    *error = path + " has no serial left above " + Decimal(last);
    return false;
  }
  const uint64_t next = std::max(last + 1, now);
  const std::string temporary = path + ".tmp";
  ::unlink(temporary.c_str());
  if (!WriteNewFile(temporary, Decimal(next) + "\n", 0644, error)) return false;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "can't write " + path + ": " + Errno(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  if (!SyncFolder(root)) {
    *error = "can't flush " + root + " to disk: " + Errno(errno);
    return false;
  }
  *serial = next;
  return true;
}

bool NextSerial(const std::string& root, uint64_t* serial, std::string* error) {
  return NextSerial(root, UnixNow(), serial, error);
}

int RunKeygen(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc != 4 || std::string_view(argv[2]) != "--out") {
    err << "usage: realm-site keygen --out DIR\n";
    return 2;
  }
  const std::string folder = argv[3];
  MinisignKey key;
  std::string error;
  if (!GenerateKeyPair(folder, &key, &error)) {
    err << "realm-site: " << error << "\n";
    return 1;
  }
  const std::filesystem::path dir(folder);
  out << "realm-site: key " << KeyIdText(key.id) << "\n"
      << "  public: " << (dir / kPublicKeyFile).string() << "  (stamp it: vantrel-stamp LAUNCHER.exe ADDRESS --key "
      << (dir / kPublicKeyFile).string() << ")\n"
      << "  secret: " << (dir / kSecretKeyFile).string()
      << "  (not encrypted: keep it off the web and out of the realm folder)\n";
  return 0;
}

}  // namespace vantrel::site
