#include "platform/foundation/EmbeddedPlist.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb {
namespace {

constexpr std::size_t kMaxSectionBytes = 1024 * 1024;

Error readError(int posixErrno, const std::string& path) { return cocoaFileError(posixErrno, path, FileOperation::kRead); }

// A file that is not the ELF it claims to be, or shorter than its headers say.
Error malformed(const std::string& path) { return readError(ENOEXEC, path); }

Status preadAll(int fd, const std::string& path, void* buf, std::size_t len, off_t offset) {
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    const ssize_t n = ::pread(fd, p, len, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return readError(errno, path);
    if (n == 0) return malformed(path);
    p += n;
    len -= static_cast<std::size_t>(n);
    offset += n;
  }
  return Ok{};
}

}  // namespace

Result<std::optional<std::string>> readElfSection(const std::string& path, std::string_view section) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return readError(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return readError(errno, path);
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);

  Elf64_Ehdr eh{};
  if (auto s = preadAll(fd.get(), path, &eh, sizeof eh, 0); !s.ok()) return std::move(s).takeError();
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return malformed(path);
  if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum) return malformed(path);
  if (eh.e_shoff > fileSize || eh.e_shnum * sizeof(Elf64_Shdr) > fileSize - eh.e_shoff) return malformed(path);

  std::vector<Elf64_Shdr> sh(eh.e_shnum);
  if (auto s = preadAll(fd.get(), path, sh.data(), sh.size() * sizeof(Elf64_Shdr), static_cast<off_t>(eh.e_shoff));
      !s.ok())
    return std::move(s).takeError();
  const Elf64_Shdr& strtab = sh[eh.e_shstrndx];
  if (strtab.sh_offset > fileSize || strtab.sh_size > fileSize - strtab.sh_offset) return malformed(path);
  if (strtab.sh_size > kMaxSectionBytes) return readError(EFBIG, path);
  std::string names(strtab.sh_size, '\0');
  if (auto s = preadAll(fd.get(), path, names.data(), names.size(), static_cast<off_t>(strtab.sh_offset)); !s.ok())
    return std::move(s).takeError();

  for (const Elf64_Shdr& s : sh) {
    if (s.sh_name >= names.size()) continue;
    const char* name = names.c_str() + s.sh_name;
    if (section != name || s.sh_type == SHT_NOBITS) continue;
    if (s.sh_offset > fileSize || s.sh_size > fileSize - s.sh_offset) return malformed(path);
    if (s.sh_size > kMaxSectionBytes) return readError(EFBIG, path);
    std::string bytes(s.sh_size, '\0');
    if (auto read = preadAll(fd.get(), path, bytes.data(), bytes.size(), static_cast<off_t>(s.sh_offset)); !read.ok())
      return std::move(read).takeError();
    return std::optional<std::string>(std::move(bytes));
  }
  return std::optional<std::string>();
}

std::optional<Dictionary> embeddedPropertyList(std::string_view section) {
  auto bytes = readElfSection("/proc/self/exe", section);
  if (!bytes.ok() || !*bytes) return std::nullopt;
  auto parsed = parsePropertyList(**bytes);
  if (!parsed.ok() || !parsed->asDictionary()) return std::nullopt;
  return *parsed->asDictionary();
}

Dictionary mainBundleInfoDictionary() { return embeddedPropertyList(kInfoPlistSection).value_or(Dictionary{}); }

std::optional<Value> objectForInfoDictionaryKey(std::string_view key) {
  Dictionary info = mainBundleInfoDictionary();
  if (const Value* v = lookup(info, key)) return *v;
  return std::nullopt;
}

std::string mainBundleIdentifier() {
  if (auto v = objectForInfoDictionaryKey("CFBundleIdentifier"); v && v->asString()) return *v->asString();
  return program_invocation_short_name;
}

}  // namespace zeb
