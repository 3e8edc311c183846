// Tests of TArray, TSharedPtr, delegate and CPropertyArray.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "suite/array.h"
#include "suite/delegate.h"
#include "suite/properties.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"

namespace zel {
namespace {

CStringW Text(uint32_t i) {
    return CStringW(std::to_string(i).c_str());
}

// The text of the std::out_of_range `call` throws, or "" when it returns.
std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

TEST(SuiteArray, ResizeValueInitialisesAndClearKeepsStorage) {
    struct Record {
        uint32_t size;
        char name[64];
        uint64_t number;
    };
    TArray<Record> records;
    records.resize(3);
    for (const Record& r : records) {
        EXPECT_TRUE(r.size == 0 && r.name[0] == 0 && r.number == 0);
    }
    records[1].number = 7;
    records.clear();
    records.resize(2);
    EXPECT_EQ(records[1].number, 0u);  // zero again, not left over
    EXPECT_EQ(records.capacity(), 4u);
}

TEST(SuiteArray, RemoveKeepsOrderAndErrorsNameTheCall) {
    TArray<std::string> a;
    for (const char* s : {"a", "b", "c", "d"}) {
        a.append(s);
    }
    a.remove(1);
    a.remove(2);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0] + a[1], "ac");
    EXPECT_EQ(ErrorOf([&] { (void)a[2]; }), "TArray: index out of range.");
    EXPECT_EQ(ErrorOf([&] { a.remove(2); }), "TArray::remove: index out of range.");
    EXPECT_EQ(ErrorOf([&] { a.remove(0xFFFFFFFFu); }), "TArray::remove: index out of range.");
    EXPECT_EQ(a.size(), 2u);
}

TEST(SuiteArray, ElementsSurviveGrowthAndCopiesAreDeep) {
    TArray<CStringW> objects;  // moved into new blocks rather than realloc'ed
    for (uint32_t i = 0; i < 17; ++i) {
        objects.append(Text(i));
    }
    for (uint32_t i = 0; i < 17; ++i) {
        EXPECT_EQ(objects[i], Text(i));
    }
    TArray<std::string> a;
    a.append(std::string(100, 'x'));
    a.append(a[0]);  // the source lives in the block that growth replaces
    EXPECT_EQ(a[1], std::string(100, 'x'));
    TArray<std::string> copy(a);
    copy[0] = "changed";
    EXPECT_EQ(a[0], std::string(100, 'x'));
    TArray<std::string> moved(std::move(a));
    EXPECT_EQ(a.size(), 0u);
    copy = moved;
    EXPECT_EQ(copy[0], moved[0]);
}

// Virtual, as every type owned through a pointer to its base must be (the suite's IFile is).
struct Tracked {
    static int alive;
    Tracked() { ++alive; }
    virtual ~Tracked() { --alive; }
};
int Tracked::alive = 0;

struct Derived : Tracked {
    int value = 5;
};

TEST(SuiteSharedPtr, LastOwnerDestroys) {
    {
        TSharedPtr<Derived> a(new Derived());
        TSharedPtr<Derived> b = a;
        TSharedPtr<Tracked> base(b);  // converting copy
        EXPECT_EQ(a.counter()->count(), 3u);
        TSharedPtr<Tracked> taken(std::move(b));  // converting move takes b's reference
        EXPECT_FALSE(b);
        EXPECT_EQ(a.counter()->count(), 3u);
        a.reset();
        base.reset();
        EXPECT_EQ(Tracked::alive, 1);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

// A manager whose calls are counted, with a context shared by all copies.
int gClones = 0, gReleases = 0, gCalls = 0;
void* CountingClone(void* context) {
    ++gClones;
    return context;
}
void CountingRelease(void*) {
    ++gReleases;
}
void CountingInvoke(void* context) {
    gCalls += *static_cast<int*>(context);
}
const zelDelegateManager kCounting = {CountingClone, CountingRelease};

class SuiteDelegate : public ::testing::Test {
  protected:
    void SetUp() override { gClones = gReleases = gCalls = 0; }
    int context_ = 3;
};

TEST_F(SuiteDelegate, CopyClonesMoveTakesDestroyReleases) {
    {
        delegate<void()> a(CountingInvoke, &context_, &kCounting);
        delegate<void()> b(a);
        EXPECT_EQ(gClones, 1);
        EXPECT_TRUE(a == b);  // the clone returned the same context
        delegate<void()> c(std::move(b));
        EXPECT_EQ(gClones, 1);
        const zelDelegate emptied = b.raw();
        EXPECT_TRUE(!emptied.invoke && !emptied.context && !emptied.manager);
        c();
        a();
        EXPECT_EQ(gCalls, 6);
        delegate<void()> d;
        d = c;  // copy assignment clones
        EXPECT_EQ(gClones, 2);
        d = std::move(a);  // move assignment releases d's old context once
        EXPECT_EQ(gReleases, 1);
        delegate<void()> unmanaged(CountingInvoke, &context_, nullptr);
        delegate<void()> unmanagedCopy(unmanaged);
    }
    // Live at the end: c and d (a and b were emptied by moves); unmanaged ones count nothing.
    EXPECT_EQ(gReleases, 3);
    EXPECT_EQ(gClones, 2);
}

TEST_F(SuiteDelegate, EqualityNeedsAllThreeWords) {
    int other = 3;
    const delegate<void()> base(CountingInvoke, &context_, &kCounting);
    const zelDelegateManager otherManager = kCounting;
    const struct {
        const char* what;
        delegate<void()> d;
        bool equal;
    } table[] = {
        {"same words", delegate<void()>(CountingInvoke, &context_, &kCounting), true},
        {"other context", delegate<void()>(CountingInvoke, &other, &kCounting), false},
        {"other manager", delegate<void()>(CountingInvoke, &context_, &otherManager), false},
        {"other invoke", delegate<void()>(CountingRelease, &context_, &kCounting), false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(base == row.d, row.equal);
        EXPECT_EQ(base != row.d, !row.equal);
    }
}

TEST_F(SuiteDelegate, FlatFormsAreReleasedOnce) {
    delegate<void()> d(CountingInvoke, &context_, &kCounting);
    zelDelegate_Destroy(d.release());
    EXPECT_EQ(gReleases, 1);
    zelDelegate_Destroy(zelDelegate{CountingInvoke, &context_, nullptr});
    EXPECT_EQ(gReleases, 1);
    // Adopting a flat form takes over its reference: destroyed once, by the delegate.
    { delegate<void()> adopted(zelDelegate{CountingInvoke, &context_, &kCounting}); }
    EXPECT_EQ(gReleases, 2);
    EXPECT_EQ(gClones, 0);
}

TEST(SuiteProperties, SetReplacesOrAppendsInOrder) {
    CPropertyArray p;
    p.SetValue("width", "640");
    p.SetValue("height", "480");
    p.SetValue("width", "320");
    p.SetValue("empty", "");
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p.key(0), CString("width"));
    EXPECT_EQ(p.value(0), CString("320"));
    EXPECT_EQ(p.GetValue("Height"), CString());  // keys are exact
    EXPECT_EQ(p["height"].value(), CString("480"));
    EXPECT_TRUE(p["empty"].exists());  // present, though its value is empty
    EXPECT_FALSE(p["index"].exists());
}

}  // namespace
}  // namespace zel
