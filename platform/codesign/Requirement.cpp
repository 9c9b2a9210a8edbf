#include "platform/codesign/Requirement.h"

#include <optional>
#include <vector>

#include "platform/codesign/SignatureBlock.h"

namespace zeb::codesign {

struct Requirement::Node {
  enum class Kind { kIdentifier, kAnchor, kNot, kAnd, kOr } kind;
  std::string text;
  std::unique_ptr<Node> left, right;
};

Requirement::Requirement(std::unique_ptr<Node> root) : root_(std::move(root)) {}
Requirement::~Requirement() = default;

namespace {

using Node = Requirement::Node;

std::unique_ptr<Node> makeNode(Node::Kind kind, std::string text, std::unique_ptr<Node> left, std::unique_ptr<Node> right) {
  auto n = std::make_unique<Node>();
  n->kind = kind;
  n->text = std::move(text);
  n->left = std::move(left);
  n->right = std::move(right);
  return n;
}

struct Token {
  enum class Kind { kWord, kString, kNot, kOpen, kClose, kEnd } kind;
  std::string text;
};

std::optional<std::vector<Token>> tokenize(std::string_view s) {
  std::vector<Token> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') { ++i; continue; }
    if (c == '(') { out.push_back({Token::Kind::kOpen, "("}); ++i; continue; }
    if (c == ')') { out.push_back({Token::Kind::kClose, ")"}); ++i; continue; }
    if (c == '!') { out.push_back({Token::Kind::kNot, "!"}); ++i; continue; }
    if (c == '"') {
      std::string text;
      ++i;
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == '\\' && i + 1 < s.size()) { text.push_back(s[i + 1]); i += 2; continue; }
        if (s[i] == '"') { closed = true; ++i; break; }
        text.push_back(s[i++]);
      }
      if (!closed) return std::nullopt;
      out.push_back({Token::Kind::kString, std::move(text)});
      continue;
    }
    std::string word;
    while (i < s.size()) {
      const char w = s[i];
      const bool ok = (w >= 'a' && w <= 'z') || (w >= 'A' && w <= 'Z') || (w >= '0' && w <= '9') || w == '.' ||
                      w == '_' || w == '-';
      if (!ok) break;
      word.push_back(w);
      ++i;
    }
    if (word.empty()) return std::nullopt;
    out.push_back({Token::Kind::kWord, std::move(word)});
  }
  out.push_back({Token::Kind::kEnd, {}});
  return out;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  std::unique_ptr<Node> parseAll() {
    auto n = orExpr(0);
    if (!n || t_[pos_].kind != Token::Kind::kEnd) return nullptr;
    return n;
  }

 private:
  const Token& peek() const { return t_[pos_]; }
  bool isWord(std::string_view w) const { return peek().kind == Token::Kind::kWord && peek().text == w; }

  std::unique_ptr<Node> orExpr(int depth) {
    auto left = andExpr(depth);
    while (left && isWord("or")) {
      ++pos_;
      auto right = andExpr(depth);
      if (!right) return nullptr;
      left = makeNode(Node::Kind::kOr, {}, std::move(left), std::move(right));
    }
    return left;
  }

  std::unique_ptr<Node> andExpr(int depth) {
    auto left = unary(depth);
    while (left && isWord("and")) {
      ++pos_;
      auto right = unary(depth);
      if (!right) return nullptr;
      left = makeNode(Node::Kind::kAnd, {}, std::move(left), std::move(right));
    }
    return left;
  }

  std::unique_ptr<Node> unary(int depth) {
    if (depth > Requirement::kMaxDepth) return nullptr;
    if (peek().kind == Token::Kind::kNot) {
      ++pos_;
      auto inner = unary(depth + 1);
      if (!inner) return nullptr;
      return makeNode(Node::Kind::kNot, {}, std::move(inner), nullptr);
    }
    if (peek().kind == Token::Kind::kOpen) {
      ++pos_;
      auto inner = orExpr(depth + 1);
      if (!inner || peek().kind != Token::Kind::kClose) return nullptr;
      ++pos_;
      return inner;
    }
    if (isWord("identifier")) {
      ++pos_;
      if (peek().kind != Token::Kind::kWord && peek().kind != Token::Kind::kString) return nullptr;
      if (peek().kind == Token::Kind::kWord && (peek().text == "and" || peek().text == "or")) return nullptr;
      std::string id = t_[pos_++].text;
      if (id.empty()) return nullptr;
      return makeNode(Node::Kind::kIdentifier, std::move(id), nullptr, nullptr);
    }
    if (isWord("anchor")) {
      ++pos_;
      if (peek().kind != Token::Kind::kWord || !isValidAnchorName(peek().text) || peek().text == "and" ||
          peek().text == "or")
        return nullptr;
      std::string name = t_[pos_++].text;
      return makeNode(Node::Kind::kAnchor, std::move(name), nullptr, nullptr);
    }
    return nullptr;
  }

  std::vector<Token> t_;
  std::size_t pos_ = 0;
};

bool evaluate(const Node& n, const SigningInfo& info) {
  switch (n.kind) {
    case Node::Kind::kIdentifier: return info.identifier == n.text;
    case Node::Kind::kAnchor: return info.anchor == n.text;
    case Node::Kind::kNot: return !evaluate(*n.left, info);
    case Node::Kind::kAnd: return evaluate(*n.left, info) && evaluate(*n.right, info);
    case Node::Kind::kOr: return evaluate(*n.left, info) || evaluate(*n.right, info);
  }
  return false;
}

}  // namespace

Result<std::unique_ptr<Requirement>> Requirement::compile(std::string_view text) {
  if (text.size() > kMaxTextBytes) return secError(errSecCSReqInvalid, "requirement text too long");
  auto tokens = tokenize(text);
  if (!tokens) return secError(errSecCSReqInvalid, "requirement text is not made of tokens");
  auto root = Parser(std::move(*tokens)).parseAll();
  if (!root) return secError(errSecCSReqInvalid, "requirement text does not parse");
  return std::make_unique<Requirement>(std::move(root));
}

bool Requirement::isSatisfiedBy(const SigningInfo& info) const { return evaluate(*root_, info); }

}  // namespace zeb::codesign
