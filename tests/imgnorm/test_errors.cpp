// The tool's error classes: numbers, catch relations, rethrow from the heap,
// archive form and the persistence registry.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "baseif/mxArchive.h"
#include "baseif/mxStr.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace {

namespace D = mxImageNormalizerDefs;
using Bytes = std::vector<std::uint8_t>;

// Throws a C built from the message, by value as the component does.
template <class C>
void throwAs(const std::wstring& message) {
  throw C(message);
}

struct ErrorClass {
  const char* name;  // qualified class name
  std::int32_t number;
  std::function<D::Errors*(const std::wstring&)> make;  // new heap object
  std::function<void(const std::wstring&)> raise;       // throws one by value
  const std::type_info& type;
};

template <class C>
ErrorClass entry(const char* name, std::int32_t number) {
  return {name, number, [](const std::wstring& m) -> D::Errors* { return new C(m); }, &throwAs<C>, typeid(C)};
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

TEST(Errors, NumbersAndMessages) {
  for (const ErrorClass& c : classes()) {
    std::unique_ptr<D::Errors> e(c.make(kMessage));
    EXPECT_EQ(e->errorNumber(), c.number) << c.name;
    EXPECT_EQ(e->message(), kMessage) << c.name;
    EXPECT_EQ(typeid(*e), c.type);
    EXPECT_EQ(mx_Instantiator::typeName(typeid(*e)), c.name);
  }
  // Decimal values as clients see them.
  EXPECT_EQ(D::BadParams(L"anything").errorNumber(), 268466689);
  const D::NotImplemented ni;
  EXPECT_EQ(ni.errorNumber(), 268466703);
  EXPECT_TRUE(ni.message().empty());

  D::CanNotRun a(L"first"), b(a);
  EXPECT_EQ(b.message(), L"first");
  b = D::CanNotRun(L"second");
  EXPECT_EQ(b.message(), L"second");
  EXPECT_EQ(a.message(), L"first");
}

// Runs check on the error that raise throws, caught as Base.
template <class Base, class Check>
void catchAs(const ErrorClass& c, Check check) {
  try {
    c.raise(kMessage);
  } catch (const Base& e) {
    check(e);
    return;
  }
}

TEST(Errors, CaughtThroughEveryBase) {
  const std::string utf8 = mfToUtf8(kMessage);
  for (const ErrorClass& c : classes()) {
    SCOPED_TRACE(c.name);
    catchAs<D::Errors>(c, [&](const D::Errors& e) {
      EXPECT_EQ(e.errorNumber(), c.number);
      EXPECT_EQ(typeid(e), c.type);
    });
    catchAs<mxExceptionWithString>(c, [&](const mxExceptionWithString& e) { EXPECT_EQ(e.text(), kMessage); });
    catchAs<mxException>(c, [&](const mxException& e) {
      EXPECT_EQ(e.errorNumber(), c.number);
      EXPECT_EQ(e.message(), kMessage);
    });
    catchAs<mxPersistent>(c, [&](const mxPersistent& e) { EXPECT_EQ(typeid(e), c.type); });
    catchAs<std::exception>(c, [&](const std::exception& e) { EXPECT_EQ(std::string(e.what()), utf8); });
  }
}

TEST(Errors, SuicideAndRethrowFreesTheHeapObjectAndThrowsTheSameClass) {
  for (const ErrorClass& c : classes()) {
    D::Errors* heap = c.make(kMessage);
    try {
      heap->suicideAndRethrow();
      ADD_FAILURE() << c.name << " did not throw";
    } catch (const D::Errors& e) {
      // The heap object is gone (the sanitizer build reports a leak or a use
      // after free otherwise); the thrown one is a copy of it.
      EXPECT_EQ(typeid(e), c.type) << c.name;
      EXPECT_EQ(e.message(), kMessage);
      EXPECT_EQ(e.errorNumber(), c.number);
    }
  }
  D::Errors* nt = new D::NotTrained(L"gone");
  EXPECT_THROW(nt->suicideAndRethrow(), D::NotTrained);
}

// ---- archive form ----

Bytes storedMessage(const std::wstring& m) {
  // What mxExceptionWithString stores for a message, taken from a base-library
  // exception that adds nothing to it.
  mxPelFunc::BadParams plain(m);
  mxArchive ar;
  static_cast<mxPersistent&>(plain).dispatchSerialize(ar);
  return ar.bytes();
}

TEST(ErrorsArchive, StoredFormIsTwoVersionBytesThenTheMessage) {
  const Bytes msg = storedMessage(kMessage);
  for (const ErrorClass& c : classes()) {
    std::unique_ptr<D::Errors> e(c.make(kMessage));
    mxArchive ar;
    static_cast<mxPersistent&>(*e).dispatchSerialize(ar);
    Bytes expected = {0, 0};
    expected.insert(expected.end(), msg.begin(), msg.end());
    EXPECT_EQ(ar.bytes(), expected) << c.name;
  }
  // The base part itself ends in the UTF-8 message.
  const std::string utf8 = mfToUtf8(kMessage);
  ASSERT_GE(msg.size(), utf8.size());
  EXPECT_EQ(std::string(msg.end() - std::ptrdiff_t(utf8.size()), msg.end()), utf8);
}

TEST(ErrorsArchive, RegistryRecreatesEachClassWithItsMessage) {
  EXPECT_EQ(mx_Instantiator::find("mxImageNormalizerDefs::Errors"), nullptr);  // abstract
  for (const ErrorClass& c : classes()) {
    EXPECT_NE(mx_Instantiator::find(c.name), nullptr) << c.name;
    std::unique_ptr<D::Errors> e(c.make(kMessage));
    mxArchive out;
    out.storeObject(*e);
    mxArchive in(out.bytes());
    std::unique_ptr<mxPersistent> back = in.loadObject();
    EXPECT_EQ(in.remaining(), 0u);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(typeid(*back), c.type) << c.name;
    auto* err = dynamic_cast<D::Errors*>(back.get());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->message(), kMessage);
    EXPECT_EQ(err->errorNumber(), c.number);
  }
}

TEST(ErrorsArchive, SeveralErrorsInOneArchive) {
  // Errors built one after another in the same place, then loaded one after
  // another (each freed before the next is made): every one travels whole.
  mxArchive out;
  for (std::size_t k = 0; k < classes().size(); ++k) {
    std::unique_ptr<D::Errors> e(classes()[k].make(L"error " + mfStr(int(k))));
    out.storeObject(*e);
  }
  for (int k = 0; k < 3; ++k) {
    D::BadImage local(L"local " + mfStr(k));
    out.storeObject(local);
  }
  mxArchive in(out.bytes());
  for (std::size_t k = 0; k < classes().size(); ++k) {
    std::unique_ptr<mxPersistent> back = in.loadObject();
    EXPECT_EQ(typeid(*back), classes()[k].type);
    EXPECT_EQ(dynamic_cast<D::Errors&>(*back).message(), L"error " + mfStr(int(k)));
  }
  for (int k = 0; k < 3; ++k) {
    std::unique_ptr<mxPersistent> back = in.loadObject();
    EXPECT_EQ(dynamic_cast<D::BadImage&>(*back).message(), L"local " + mfStr(k));
  }
  EXPECT_EQ(in.remaining(), 0u);
}

TEST(ErrorsArchive, UnknownVersionsNameTheClassAndLeaveTheObjectAlone) {
  for (const ErrorClass& c : classes()) {
    std::unique_ptr<D::Errors> src(c.make(L"stored"));
    mxArchive out;
    static_cast<mxPersistent&>(*src).dispatchSerialize(out);
    for (std::size_t at : {0, 1}) {
      Bytes bad = out.bytes();
      bad[at] = 1;
      std::unique_ptr<D::Errors> dst(c.make(L"before"));
      mxArchive in(bad);
      try {
        dst->loadSimple(in);
        ADD_FAILURE() << c.name << ": version 1 at byte " << at << " accepted";
      } catch (const mxArchive::UnknownVersion& e) {
        EXPECT_EQ(e.file(), at == 0 ? std::string(c.name) : std::string("mxImageNormalizerDefs::Errors"));
        EXPECT_EQ(e.line(), 0);
      }
      EXPECT_EQ(dst->message(), L"before");
    }
  }
  // Through the registry as well.
  D::CanNotTrain e(L"x");
  mxArchive out;
  out.storeObject(e);
  Bytes bad = out.bytes();
  // The class name comes first (a 32-bit count and its bytes), then the class
  // version, then the Errors version.
  bad[4 + std::string("mxImageNormalizerDefs::CanNotTrain").size() + 1] = 1;
  mxArchive in(bad);
  try {
    in.loadObject();
    ADD_FAILURE() << "version 1 accepted";
  } catch (const mxArchive::UnknownVersion& u) {
    EXPECT_EQ(u.file(), "mxImageNormalizerDefs::Errors");
  }
}

}  // namespace
