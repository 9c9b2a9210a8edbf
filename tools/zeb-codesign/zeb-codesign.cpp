// zeb-codesign: makes keys, signs executables, verifies them against a requirement, and shows who
// signed them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codesign/CodeObject.h"
#include "platform/codesign/Ed25519.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/SignatureBlock.h"
#include "platform/foundation/UniqueFd.h"

using namespace zeb;
using namespace zeb::codesign;

namespace {

constexpr const char* kUsage =
    "usage: zeb-codesign keygen NAME DIR\n"
    "       zeb-codesign sign --key KEYFILE --identifier ID [--output OUTFILE] FILE\n"
    "       zeb-codesign verify --anchors DIR [-R REQUIREMENT] FILE\n"
    "       zeb-codesign display FILE\n"
    "\n"
    "keygen   writes DIR/NAME.key (Ed25519 private key, PEM, mode 0600) and DIR/NAME.pub\n"
    "sign     appends (or replaces) FILE's signature; the anchor is KEYFILE's base name without\n"
    "         its extension; with --output OUTFILE, FILE is left as it is and a signed copy\n"
    "         (with FILE's permissions) replaces OUTFILE whole\n"
    "verify   exits 0 when FILE's signature verifies against the anchor it names in DIR (and\n"
    "         satisfies REQUIREMENT); otherwise prints the status code and exits 1\n"
    "display  prints FILE's identifier and anchor\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool readFile(const std::string& path, std::string& out, std::size_t max) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[65536];
  out.clear();
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > max) return false;
  }
}

bool writeNew(const std::string& path, const std::string& data, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) return false;
  return ::write(fd.get(), data.data(), data.size()) == static_cast<ssize_t>(data.size()) && ::fchmod(fd.get(), mode) == 0;
}

int keygen(const std::vector<std::string>& args) {
  if (args.size() != 2 || !isValidAnchorName(args[0])) return usage();
  auto key = generateEd25519Key();
  if (!key.ok()) {
    std::fprintf(stderr, "zeb-codesign: %s\n", key.error().localizedDescription().c_str());
    return 1;
  }
  const std::string base = args[1] + "/" + args[0];
  if (!writeNew(base + ".key", privateKeyPEM(key->get()), 0600) || !writeNew(base + ".pub", publicKeyPEM(key->get()), 0644)) {
    std::fprintf(stderr, "zeb-codesign: can't write %s.key/.pub: %s\n", base.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s.key\n%s.pub\n", base.c_str(), base.c_str());
  return 0;
}

std::string anchorFromKeyPath(const std::string& keyPath) {
  std::string name = keyPath.substr(keyPath.find_last_of('/') == std::string::npos ? 0 : keyPath.find_last_of('/') + 1);
  if (auto dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// Writes FILE's signed content into a new file beside `output` and renames it into place, so that
// `output` is the old file or the whole signed copy, never half of one.
int writeSignedCopy(int source, std::uint64_t size, mode_t mode, const std::string& block, const std::string& output) {
  std::string temp = output + ".XXXXXX";
  UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (!out) {
    std::fprintf(stderr, "zeb-codesign: can't create a file beside %s: %s\n", output.c_str(), std::strerror(errno));
    return 1;
  }
  bool ok = true;
  std::string buffer(64 * 1024, '\0');
  for (std::uint64_t at = 0; ok && at < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
    const ssize_t got = ::pread(source, buffer.data(), want, static_cast<off_t>(at));
    ok = got > 0 && ::write(out.get(), buffer.data(), static_cast<std::size_t>(got)) == got;
    at += ok ? static_cast<std::uint64_t>(got) : 0;
  }
  ok = ok && ::write(out.get(), block.data(), block.size()) == static_cast<ssize_t>(block.size()) &&
       ::fchmod(out.get(), mode & 0777) == 0 && ::fsync(out.get()) == 0 && ::rename(temp.c_str(), output.c_str()) == 0;
  if (!ok) {
    std::fprintf(stderr, "zeb-codesign: can't write %s: %s\n", output.c_str(), std::strerror(errno));
    ::unlink(temp.c_str());
    return 1;
  }
  return 0;
}

int signFile(const std::vector<std::string>& args) {
  std::string keyPath, identifier, file, output;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key" && i + 1 < args.size()) keyPath = args[++i];
    else if (args[i] == "--output" && i + 1 < args.size() && !args[i + 1].empty()) output = args[++i];
    else if (args[i] == "--identifier" && i + 1 < args.size()) identifier = args[++i];
    else if (file.empty() && args[i][0] != '-') file = args[i];
    else return usage();
  }
  if (keyPath.empty() || identifier.empty() || file.empty()) return usage();
  if (identifier.size() > kMaxIdentifierBytes) {
    std::fprintf(stderr, "zeb-codesign: identifier too long\n");
    return 1;
  }
  const std::string anchor = anchorFromKeyPath(keyPath);
  if (!isValidAnchorName(anchor)) {
    std::fprintf(stderr, "zeb-codesign: key file name %s does not make an anchor name\n", keyPath.c_str());
    return 1;
  }
  std::string pem;
  if (!readFile(keyPath, pem, 64 * 1024)) {
    std::fprintf(stderr, "zeb-codesign: can't read %s: %s\n", keyPath.c_str(), std::strerror(errno));
    return 1;
  }
  auto key = loadPrivateKeyPEM(pem);
  if (!key.ok()) {
    std::fprintf(stderr, "zeb-codesign: %s: %s\n", keyPath.c_str(), key.error().localizedDescription().c_str());
    return 1;
  }

  UniqueFd fd(::open(file.c_str(), (output.empty() ? O_RDWR : O_RDONLY) | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "zeb-codesign: can't open %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  // Re-signing replaces the old block.
  auto size = static_cast<std::uint64_t>(st.st_size);
  const std::size_t tailLen = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxBlockBytes));
  std::string tail(tailLen, '\0');
  if (::pread(fd.get(), tail.data(), tailLen, static_cast<off_t>(size - tailLen)) != static_cast<ssize_t>(tailLen)) {
    std::fprintf(stderr, "zeb-codesign: can't read %s\n", file.c_str());
    return 1;
  }
  if (auto old = parseSignatureBlock(tail, size)) size = old->contentSize;

  auto digest = sha512OfFile(fd.get(), size);
  if (!digest.ok()) {
    std::fprintf(stderr, "zeb-codesign: %s\n", digest.error().localizedDescription().c_str());
    return 1;
  }
  SignatureBlock signature{identifier, anchor, size, *digest, {}};
  auto sig = sign(key->get(), signedMessage(signature));
  if (!sig.ok()) {
    std::fprintf(stderr, "zeb-codesign: %s\n", sig.error().localizedDescription().c_str());
    return 1;
  }
  signature.signature = *sig;
  const std::string block = serializeSignatureBlock(signature);
  if (!output.empty()) return writeSignedCopy(fd.get(), size, st.st_mode, block, output);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0 ||
      ::pwrite(fd.get(), block.data(), block.size(), static_cast<off_t>(size)) != static_cast<ssize_t>(block.size()) ||
      ::fsync(fd.get()) != 0) {
    std::fprintf(stderr, "zeb-codesign: can't write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

int verifyFile(const std::vector<std::string>& args) {
  std::string anchors, requirementText, file;
  bool haveRequirement = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--anchors" && i + 1 < args.size()) anchors = args[++i];
    else if (args[i] == "-R" && i + 1 < args.size()) { requirementText = args[++i]; haveRequirement = true; }
    else if (file.empty() && args[i][0] != '-') file = args[i];
    else return usage();
  }
  if (anchors.empty() || file.empty()) return usage();
  std::unique_ptr<Requirement> requirement;
  if (haveRequirement) {
    auto compiled = Requirement::compile(requirementText);
    if (!compiled.ok()) {
      std::printf("%s: invalid requirement: %d\n", file.c_str(), statusOf(compiled.error()));
      return 1;
    }
    requirement = std::move(*compiled);
  }
  auto code = CodeObject::forFile(file);
  if (!code.ok()) {
    std::printf("%s: %d\n", file.c_str(), statusOf(code.error()));
    return 1;
  }
  if (auto valid = (*code)->checkValidity(requirement.get(), anchors); !valid.ok()) {
    std::printf("%s: %d %s\n", file.c_str(), statusOf(valid.error()), valid.error().localizedDescription().c_str());
    return 1;
  }
  std::printf("%s: valid\n", file.c_str());
  return 0;
}

int display(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage();
  auto code = CodeObject::forFile(args[0]);
  if (!code.ok()) {
    std::fprintf(stderr, "zeb-codesign: can't open %s\n", args[0].c_str());
    return 1;
  }
  auto sig = (*code)->signature();
  if (!sig) {
    std::printf("%s: not signed (%d)\n", args[0].c_str(), errSecCSUnsigned);
    return 1;
  }
  std::printf("Identifier=%s\nAnchor=%s\nSignedLength=%llu\n", sig->identifier.c_str(), sig->anchor.c_str(),
              static_cast<unsigned long long>(sig->signedLength));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const auto& a : args)
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  if (command == "keygen") return keygen(args);
  if (command == "sign") return signFile(args);
  if (command == "verify") return verifyFile(args);
  if (command == "display") return display(args);
  return usage();
}
