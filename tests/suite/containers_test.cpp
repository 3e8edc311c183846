// Tests of TArray, TSharedPtr, delegate and CPropertyArray.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "suite/array.h"
#include "suite/delegate.h"
#include "suite/properties.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"

namespace zel {
namespace {

TEST(SuiteArray, CapacityDoublesFromOne) {
    // (elements appended so far, capacity expected afterwards)
    const struct {
        uint32_t count;
        uint32_t capacity;
    } table[] = {{1, 1}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {8, 8}, {9, 16}, {17, 32}};
    TArray<int> plain;
    TArray<CStringW> objects;  // moved into new blocks rather than realloc'ed
    uint32_t appended = 0;
    for (const auto& row : table) {
        while (appended < row.count) {
            plain.append(static_cast<int>(appended));
            objects.append(CStringW(std::to_string(appended).c_str()));
            ++appended;
        }
        EXPECT_EQ(plain.capacity(), row.capacity) << row.count;
        EXPECT_EQ(objects.capacity(), row.capacity) << row.count;
    }
    for (uint32_t i = 0; i < appended; ++i) {
        EXPECT_EQ(plain[i], static_cast<int>(i));
        EXPECT_EQ(objects[i], CStringW(std::to_string(i).c_str()));
    }
}

TEST(SuiteArray, ReserveFollowsTheGrowthRule) {
    const struct {
        uint32_t first;  // reserved first
        uint32_t then;
        uint32_t capacity;
    } table[] = {{0, 0, 0}, {0, 5, 8}, {3, 5, 8}, {3, 7, 8}, {3, 25, 32}, {8, 3, 8}, {1, 1, 1}};
    for (const auto& row : table) {
        TArray<int> a;
        a.reserve(row.first);
        a.reserve(row.then);
        EXPECT_EQ(a.capacity(), row.capacity) << row.first << " then " << row.then;
        EXPECT_EQ(a.size(), 0u);
    }
}

TEST(SuiteArray, ResizeZeroFillsAndClearKeepsStorage) {
    struct Record {
        uint32_t size;
        char name[64];
        uint64_t number;
    };
    TArray<Record> records;
    records.resize(3);
    for (const Record& r : records) {
        EXPECT_EQ(r.size, 0u);
        EXPECT_EQ(r.name[0], 0);
        EXPECT_EQ(r.number, 0u);
    }
    records[1].number = 7;
    records.clear();
    EXPECT_EQ(records.size(), 0u);
    EXPECT_EQ(records.capacity(), 4u);
    records.resize(2);
    EXPECT_EQ(records[1].number, 0u);  // value-initialised again, not left over
    EXPECT_EQ(records.capacity(), 4u);
}

TEST(SuiteArray, RemoveKeepsOrder) {
    TArray<std::string> a;
    for (const char* s : {"a", "b", "c", "d"}) {
        a.append(std::string(s));
    }
    a.remove(1);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0], "a");
    EXPECT_EQ(a[1], "c");
    EXPECT_EQ(a[2], "d");
    a.remove(2);
    a.remove(0);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0], "c");
}

TEST(SuiteArray, ErrorTexts) {
    TArray<int> a;
    a.append(1);
    const struct {
        const char* what;
        std::function<void()> call;
        const char* text;
    } table[] = {
        {"[] past end", [&] { (void)a[1]; }, "TArray: index out of range."},
        {"at past end", [&] { (void)a.at(5); }, "TArray: index out of range."},
        {"remove past end", [&] { a.remove(1); }, "TArray::remove: index out of range."},
        {"remove huge", [&] { a.remove(0xFFFFFFFFu); }, "TArray::remove: index out of range."},
    };
    for (const auto& row : table) {
        try {
            row.call();
            ADD_FAILURE() << row.what << ": no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), row.text) << row.what;
        }
    }
    EXPECT_EQ(a.size(), 1u);
}

TEST(SuiteArray, AppendOfOwnElementSurvivesGrowth) {
    TArray<std::string> a;
    a.append(std::string(100, 'x'));
    ASSERT_EQ(a.capacity(), 1u);
    a.append(a[0]);  // the source lives in the block that growth replaces
    EXPECT_EQ(a[1], std::string(100, 'x'));
}

TEST(SuiteArray, CopyAndMove) {
    TArray<CString> a;
    a.append(CString("one"));
    a.append(CString("two"));
    TArray<CString> copy(a);
    copy[0] = CString("changed");
    EXPECT_EQ(a[0], CString("one"));
    TArray<CString> moved(std::move(a));
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(moved.size(), 2u);
    EXPECT_EQ(moved[1], CString("two"));
    copy = moved;
    EXPECT_EQ(copy[0], CString("one"));
}

struct Tracked {
    static int alive;
    Tracked() { ++alive; }
    ~Tracked() { --alive; }
};
int Tracked::alive = 0;

struct Derived : Tracked {
    int value = 5;
};

TEST(SuiteSharedPtr, LastOwnerDestroys) {
    {
        TSharedPtr<Derived> a(new Derived());
        EXPECT_EQ(a.counter()->count(), 1u);
        TSharedPtr<Derived> b = a;
        EXPECT_EQ(a.counter()->count(), 2u);
        TSharedPtr<Tracked> base(b);  // converting copy
        EXPECT_EQ(a.counter()->count(), 3u);
        TSharedPtr<Tracked> taken(std::move(b));  // converting move takes b's reference
        EXPECT_FALSE(b);
        EXPECT_EQ(a.counter()->count(), 3u);
        a.reset();
        base.reset();
        EXPECT_EQ(Tracked::alive, 1);
        EXPECT_EQ(taken.counter()->count(), 1u);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

TEST(SuiteSharedPtr, AdoptsAGivenCounter) {
    Tracked* object = new Tracked();
    CReferenceCounter* counter = CReferenceCounter::Create();
    counter->AddRef();  // two references handed out, each adopted by one pointer below
    { TSharedPtr<Tracked> first(object, counter); }
    EXPECT_EQ(Tracked::alive, 1);
    EXPECT_EQ(counter->count(), 1u);
    { TSharedPtr<Tracked> second(object, counter); }
    EXPECT_EQ(Tracked::alive, 0);
}

// A manager whose calls are counted, with a context shared by all copies.
int gClones = 0;
int gReleases = 0;
int gCalls = 0;
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
        EXPECT_EQ(gClones, 0);
        delegate<void()> b(a);
        EXPECT_EQ(gClones, 1);
        EXPECT_TRUE(a == b);  // the clone returned the same context
        delegate<void()> c(std::move(b));
        EXPECT_EQ(gClones, 1);
        const zelDelegate emptied = b.raw();
        EXPECT_EQ(emptied.invoke, nullptr);
        EXPECT_EQ(emptied.context, nullptr);
        EXPECT_EQ(emptied.manager, nullptr);
        c();
        a();
        EXPECT_EQ(gCalls, 6);
        delegate<void()> d;
        d = c;  // copy assignment clones
        EXPECT_EQ(gClones, 2);
        d = std::move(a);  // move assignment releases d's old context once
        EXPECT_EQ(gReleases, 1);
    }
    // Live at the end: c, d (b and a were emptied by moves).
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
        {"no manager", delegate<void()>(CountingInvoke, &context_, nullptr), false},
        {"other invoke", delegate<void()>(CountingRelease, &context_, &kCounting), false},
    };
    for (const auto& row : table) {
        EXPECT_EQ(base == row.d, row.equal) << row.what;
        EXPECT_EQ(base != row.d, !row.equal) << row.what;
    }
}

TEST_F(SuiteDelegate, UnmanagedContextIsNeverClonedOrReleased) {
    {
        delegate<void()> a(CountingInvoke, &context_, nullptr);
        delegate<void()> b(a);
        b();
    }
    EXPECT_EQ(gClones + gReleases, 0);
    EXPECT_EQ(gCalls, 3);
}

TEST_F(SuiteDelegate, FlatDestroyReleasesOnce) {
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

TEST_F(SuiteDelegate, FromCallableOwnsItsCopy) {
    int hits = 0;
    auto counter = std::make_shared<int>(0);
    {
        auto d = delegate<void()>::FromCallable([&hits, counter] { ++hits; });
        EXPECT_EQ(counter.use_count(), 2);
        auto copy = d;
        EXPECT_EQ(counter.use_count(), 3);
        EXPECT_FALSE(copy == d);  // each copy holds a callable of its own
        d();
        copy();
    }
    EXPECT_EQ(hits, 2);
    EXPECT_EQ(counter.use_count(), 1);
}

TEST(SuiteProperties, SetReplacesOrAppendsInOrder) {
    CPropertyArray p;
    p.SetValue("width", "640");
    p.SetValue("height", "480");
    p.SetValue("width", "320");
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p.key(0), CString("width"));
    EXPECT_EQ(p.value(0), CString("320"));
    EXPECT_EQ(p.key(1), CString("height"));
    EXPECT_EQ(p.GetValue("height"), CString("480"));
    EXPECT_EQ(p.GetValue("Height"), CString());  // keys are exact
    EXPECT_TRUE(p["width"].exists());
    EXPECT_EQ(p["width"].value(), CString("320"));
    EXPECT_FALSE(p["index"].exists());
    EXPECT_TRUE(p["index"].value().empty());
    p.SetValue("empty", "");
    EXPECT_TRUE(p["empty"].exists());  // present, though its value is empty
}

}  // namespace
}  // namespace zel
