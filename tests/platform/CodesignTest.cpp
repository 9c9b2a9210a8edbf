#include <gtest/gtest.h>

#include "platform/codesign/CodeObject.h"
#include "platform/codesign/Ed25519.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/SignatureBlock.h"

namespace zeb::codesign {
namespace {

bool satisfies(const char* text, const char* id, const char* anchor) {
  auto r = Requirement::compile(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() && (*r)->isSatisfiedBy({id, anchor});
}

TEST(Requirement, EvaluatesTheLanguageWithPrecedence) {
  const char* ours =
      "(identifier com.orvel.tessel.VellumDrift or identifier com.orvel.tessel.VellumDriftLite) and anchor orvel";
  EXPECT_TRUE(satisfies(ours, "com.orvel.tessel.VellumDrift", "orvel"));
  EXPECT_TRUE(satisfies(ours, "com.orvel.tessel.VellumDriftLite", "orvel"));
  EXPECT_FALSE(satisfies(ours, "com.orvel.tessel.VellumDrift", "other"));
  EXPECT_FALSE(satisfies(ours, "com.orvel.tessel.VellumDriftX", "orvel"));
  // "and" binds tighter than "or".
  EXPECT_TRUE(satisfies("identifier a or identifier b and anchor x", "a", "y"));
  EXPECT_FALSE(satisfies("(identifier a or identifier b) and anchor x", "a", "y"));
  EXPECT_TRUE(satisfies("identifier \"a b\" and !anchor evil", "a b", "orvel"));
  EXPECT_FALSE(satisfies("!(identifier a)", "a", "x"));
}

TEST(Requirement, RefusesMalformedText) {
  for (const char* bad : {"", "identifier", "anchor", "identifier a and", "(identifier a", "identifier a)",
                          "anchor ../x", "certificate leaf", "identifier \"unterminated", "identifier a anchor b",
                          "identifier a && anchor b"}) {
    auto r = Requirement::compile(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().domain(), kOSStatusErrorDomain);
    EXPECT_EQ(statusOf(r.error()), errSecCSReqInvalid) << bad;
  }
  std::string deep(100, '(');
  deep += "anchor x" + std::string(100, ')');
  auto r = Requirement::compile(deep);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(statusOf(r.error()), errSecCSReqInvalid);
}

// Each refusal carries the platform's status as its code and says why.
TEST(CodeObject, RefusalsCarryTheStatusAndTheReason) {
  auto expectStatus = [](const Status& s, OSStatus status, std::string_view reason) {
    ASSERT_FALSE(s.ok()) << reason;
    EXPECT_EQ(s.error().domain(), kOSStatusErrorDomain);
    EXPECT_EQ(statusOf(s.error()), status) << s.error().localizedDescription();
    EXPECT_EQ(s.error().localizedDescription(), reason);
  };
  auto missing = CodeObject::forFile("/nonexistent/executable");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(statusOf(missing.error()), errSecCSNoSuchCode);
  auto gone = CodeObject::forProcess(-1, -1);
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(statusOf(gone.error()), errSecCSNoSuchCode);

  auto unsignedCode = CodeObject::forFile("/bin/true");
  ASSERT_TRUE(unsignedCode.ok());
  expectStatus((*unsignedCode)->checkValidity(nullptr, "/nonexistent"), errSecCSUnsigned, "no signature");
}

TEST(SignatureBlock, RoundTripsAndRefusesMalformedBlocks) {
  const std::string content = "\x7f" "ELF pretend executable";
  Digest digest{};
  digest[0] = 0xd1;
  digest[63] = 0x9e;
  SignatureBlock b{"com.orvel.tessel.VellumDrift", "orvel", content.size(), digest, std::string(kSignatureBytes, 's')};
  const std::string file = content + serializeSignatureBlock(b);
  auto located = parseSignatureBlock(file, file.size());
  ASSERT_TRUE(located);
  EXPECT_EQ(located->block.identifier, b.identifier);
  EXPECT_EQ(located->block.anchor, "orvel");
  EXPECT_EQ(located->block.signedLength, content.size());
  EXPECT_EQ(located->block.digest, digest);
  EXPECT_EQ(located->contentSize, content.size());
  EXPECT_EQ(signedMessage(b).find("zeb-codesign-v2"), 0u);

  EXPECT_FALSE(parseSignatureBlock(content, content.size()));
  std::string lying = file;
  lying[lying.size() - kBlockTrailer.size() - 1] = static_cast<char>(0xff);  // length past the start
  EXPECT_FALSE(parseSignatureBlock(lying, lying.size()));
  EXPECT_FALSE(parseSignatureBlock(content + serializeSignatureBlock({"id", "../x", 1, digest, b.signature}), 200));
  EXPECT_FALSE(parseSignatureBlock(content + serializeSignatureBlock({"id", "orvel", 1, digest, "short"}), 200));
  EXPECT_FALSE(isValidAnchorName(".."));
  EXPECT_FALSE(isValidAnchorName("a/b"));
}

TEST(Ed25519, SignsAndVerifies) {
  auto key = generateEd25519Key();
  ASSERT_TRUE(key.ok());
  auto pub = loadPublicKeyPEM(publicKeyPEM(key->get()));
  auto priv = loadPrivateKeyPEM(privateKeyPEM(key->get()));
  ASSERT_TRUE(pub.ok() && priv.ok());
  auto sig = sign(priv->get(), "message");
  ASSERT_TRUE(sig.ok());
  EXPECT_TRUE(verify(pub->get(), "message", *sig));
  EXPECT_FALSE(verify(pub->get(), "massage", *sig));
  EXPECT_FALSE(loadPublicKeyPEM("-----BEGIN PUBLIC KEY-----\nnope\n-----END PUBLIC KEY-----\n").ok());
}

}  // namespace
}  // namespace zeb::codesign
