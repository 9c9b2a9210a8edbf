#include "platform/foundation/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/foundation/Date.h"
#include "platform/foundation/Description.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb {
namespace {

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Bounds the nesting of a document so conversion can't run out of stack.
constexpr int kMaxDepth = 64;

std::optional<Value> fromPlist(plist_t node, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // libplist keeps negative integers as their two's complement.
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      // Not plist_get_string_val: libplist asserts (and so aborts) on a string holding a NUL.
      uint64_t length = 0;
      const char* p = plist_get_string_ptr(node, &length);
      return Value(std::string(p ? p : "", p ? length : 0));
    }
    case PLIST_DATA: {
      uint64_t len = 0;
      const auto* d = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &len));
      return Value(d ? Data(d, d + len) : Data{});
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // Property-list dates count from 2001-01-01.
      return Value(describeDate(dateFromTimespec(static_cast<long long>(sec) + 978307200LL, usec * 1000L)));
    }
    case PLIST_ARRAY: {
      Array out;
      const uint32_t n = plist_array_get_size(node);
      out.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto v = fromPlist(plist_array_get_item(node, i), depth + 1);
        if (!v) return std::nullopt;
        out.push_back(std::move(*v));
      }
      return Value(std::move(out));
    }
    case PLIST_DICT: {
      Dictionary out;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!val) {
          std::free(key);
          break;
        }
        auto v = fromPlist(val, depth + 1);
        std::string k = key ? key : "";
        std::free(key);
        if (!v) {
          std::free(it);
          return std::nullopt;
        }
        out.insert_or_assign(std::move(k), std::move(*v));
      }
      std::free(it);
      return Value(std::move(out));
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value(u);
    }
    default:
      return std::nullopt;
  }
}

plist_t toPlist(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::kNil: return plist_new_string("");
    case Value::Kind::kBool: return plist_new_bool(*value.asBool());
    case Value::Kind::kInt: return plist_new_uint(static_cast<uint64_t>(*value.asInt()));
    case Value::Kind::kUInt: return plist_new_uint(*value.asUInt());
    case Value::Kind::kDouble: return plist_new_real(*value.asDouble());
    case Value::Kind::kString: return plist_new_string(value.asString()->c_str());
    case Value::Kind::kData:
      return plist_new_data(reinterpret_cast<const char*>(value.asData()->data()), value.asData()->size());
    case Value::Kind::kURL: return plist_new_string(value.asURL()->absoluteString().c_str());
    case Value::Kind::kArray: {
      plist_t a = plist_new_array();
      for (const Value& v : *value.asArray()) plist_array_append_item(a, toPlist(v));
      return a;
    }
    case Value::Kind::kDictionary: {
      plist_t d = plist_new_dict();
      for (const auto& [k, v] : *value.asDictionary()) plist_dict_set_item(d, k.c_str(), toPlist(v));
      return d;
    }
    case Value::Kind::kError: return plist_new_string(describe(*value.asError()).c_str());
  }
  return plist_new_string("");
}

Error parseError(std::string text) {
  // NSPropertyListReadCorruptError
  return Error::withDescription(std::string(kCocoaErrorDomain), 3840, std::move(text));
}

}  // namespace

Result<Value> parsePropertyList(std::string_view bytes, std::size_t maxBytes) {
  if (bytes.size() > maxBytes || bytes.size() > std::numeric_limits<uint32_t>::max())
    return parseError("The property list is too large.");
  if (bytes.empty()) return parseError("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root) return parseError("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
  auto v = fromPlist(root.get(), 0);
  if (!v) return parseError("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
  return std::move(*v);
}

Result<Value> readPropertyListFile(const std::string& path, std::size_t maxBytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (!fd) return cocoaFileError(errno, path, FileOperation::kRead);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return cocoaFileError(errno, path, FileOperation::kRead);
  if (!S_ISREG(st.st_mode)) return cocoaFileError(EINVAL, path, FileOperation::kRead);
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) return cocoaFileError(EFBIG, path, FileOperation::kRead);
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return cocoaFileError(errno, path, FileOperation::kRead);
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
    if (bytes.size() > maxBytes) return cocoaFileError(EFBIG, path, FileOperation::kRead);
  }
  return parsePropertyList(bytes, maxBytes);
}

std::string toXMLPropertyList(const Value& value) {
  PlistPtr root(toPlist(value));
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(root.get(), &xml, &len);
  std::string out(xml ? xml : "", len);
  plist_to_xml_free(xml);
  return out;
}

}  // namespace zeb
