// The tool's error classes: numbers, catch relations, rethrow from the heap,
// archive form and the persistence registry.
#include "support/normalizerTest.h"

#include <memory>
#include <typeinfo>

#include "baseif/mxStr.h"

namespace {

namespace D = mxImageNormalizerDefs;

struct ErrorClass {
  const char* name;  // qualified class name
  std::int32_t number;
  std::function<D::Errors*(const std::wstring&)> make;  // new heap object
  const std::type_info& type;
};

template <class C>
ErrorClass entry(const char* name, std::int32_t number) {
  return {name, number, [](const std::wstring& m) -> D::Errors* { return new C(m); }, typeid(C)};
}

const std::vector<ErrorClass>& classes() {
  static const std::vector<ErrorClass> all = {
      entry<D::BadImage>("mxImageNormalizerDefs::BadImage", 0x10007A00),
      entry<D::BadParams>("mxImageNormalizerDefs::BadParams", 0x10007A01),
      entry<D::NotTrained>("mxImageNormalizerDefs::NotTrained", 0x10007A02),
      entry<D::CanNotTrain>("mxImageNormalizerDefs::CanNotTrain", 0x10007A03),
      entry<D::CanNotRun>("mxImageNormalizerDefs::CanNotRun", 0x10007A04),
      entry<D::NotImplemented>("mxImageNormalizerDefs::NotImplemented", 0x10007A0F),
  };
  return all;
}

const std::wstring kMessage = L"Grauwert \u00e4\u00f6\u00fc \u20ac \U0001F600 \"quoted\"";

// suicideAndRethrow frees the heap object and throws a copy, caught through every base.
TEST(Errors, NumbersMessagesAndBasesOfTheRethrownCopy) {
  const std::string utf8 = mfToUtf8(kMessage);
  for (const ErrorClass& c : classes()) {
    SCOPED_TRACE(c.name);
    D::Errors* heap = c.make(kMessage);
    EXPECT_EQ(mx_Instantiator::typeName(typeid(*heap)), c.name);
    try {
      heap->suicideAndRethrow();
      ADD_FAILURE() << "did not throw";
    } catch (const D::Errors& e) {
      EXPECT_EQ(typeid(e), c.type);
      EXPECT_TRUE(e.errorNumber() == c.number && dynamic_cast<const mxException&>(e).errorNumber() == c.number);
      EXPECT_TRUE(e.message() == kMessage && dynamic_cast<const mxExceptionWithString&>(e).text() == kMessage);
      EXPECT_NE(dynamic_cast<const mxPersistent*>(&e), nullptr);
      EXPECT_EQ(std::string(dynamic_cast<const std::exception&>(e).what()), utf8);
    }
  }
  EXPECT_TRUE(D::NotImplemented().message().empty());
  // Copying through the abstract base copies the message and keeps the class.
  D::BadParams bad(L"bad");
  static_cast<D::Errors&>(bad) = D::NotTrained(kMessage);
  EXPECT_TRUE(bad.message() == kMessage && bad.errorNumber() == 0x10007A01);
}

// ---- archive form ----

TEST(ErrorsArchive, StoredFormAndUnknownVersions) {
  // What mxExceptionWithString stores for a message, taken from a
  // base-library exception that adds nothing to it; it ends in the UTF-8.
  mxPelFunc::BadParams plain(kMessage);
  mxArchive base;
  static_cast<mxPersistent&>(plain).dispatchSerialize(base);
  const Bytes msg = base.bytes();
  const std::string utf8 = mfToUtf8(kMessage);
  ASSERT_GE(msg.size(), utf8.size());
  EXPECT_EQ(std::string(msg.end() - std::ptrdiff_t(utf8.size()), msg.end()), utf8);
  Bytes expected = {0, 0};
  expected.insert(expected.end(), msg.begin(), msg.end());
  for (const ErrorClass& c : classes()) {
    std::unique_ptr<D::Errors> e(c.make(kMessage));
    mxArchive ar;
    static_cast<mxPersistent&>(*e).dispatchSerialize(ar);
    EXPECT_EQ(ar.bytes(), expected) << c.name;
    // An unknown version names the class and leaves the object alone.
    for (std::size_t at : {0, 1}) {
      Bytes bad = ar.bytes();
      bad[at] = 1;
      std::unique_ptr<D::Errors> dst(c.make(L"before"));
      mxArchive in(bad);
      expectUnknownVersion([&] { dst->loadSimple(in); }, at == 0 ? c.name : "mxImageNormalizerDefs::Errors");
      EXPECT_EQ(dst->message(), L"before");
    }
  }
  // Through the registry: the class name (a 32-bit count and its bytes), the class version, then the Errors version.
  D::CanNotTrain e(L"x");
  mxArchive out;
  out.storeObject(e);
  Bytes bad = out.bytes();
  bad[4 + std::string("mxImageNormalizerDefs::CanNotTrain").size() + 1] = 1;
  mxArchive in(bad);
  expectUnknownVersion([&] { in.loadObject(); }, "mxImageNormalizerDefs::Errors");
}

TEST(ErrorsArchive, RegistryRecreatesEachClassWithItsMessage) {
  EXPECT_EQ(mx_Instantiator::find("mxImageNormalizerDefs::Errors"), nullptr);  // abstract
  // Heap errors freed before the next is made, and locals built one after
  // another in the same place: every one travels whole.
  const std::size_t n = classes().size();
  mxArchive out;
  for (std::size_t k = 0; k < n + 3; ++k) {
    if (k < n) out.storeObject(*std::unique_ptr<D::Errors>(classes()[k].make(L"error " + mfStr(int(k)))));
    D::BadImage local(L"error " + mfStr(int(k)));
    if (k >= n) out.storeObject(local);
  }
  mxArchive in(out.bytes());
  for (std::size_t k = 0; k < n + 3; ++k) {
    const ErrorClass& c = classes()[k < n ? k : 0];
    std::unique_ptr<mxPersistent> back = in.loadObject();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(typeid(*back), c.type) << c.name;
    EXPECT_EQ(dynamic_cast<D::Errors&>(*back).errorNumber(), c.number);
    EXPECT_EQ(dynamic_cast<D::Errors&>(*back).message(), L"error " + mfStr(int(k)));
  }
  EXPECT_EQ(in.remaining(), 0u);
}

}  // namespace
