// Tests of MsgObject: kinds, ownership (copy, move, clear), accessor errors and map/array growth.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "msgpack/msg_object.h"

namespace zel::vem {
namespace {

// The message of what `call` throws; index errors are marked, because they must stay logic
// errors that a caller catching runtime_error does not take for a kind mismatch.
std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::out_of_range& error) {
        return std::string("out_of_range: ") + error.what();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "nothing thrown";
}

MsgObject sampleTree() {
    MsgObject map(msgMap, 10);
    map.insert("name", MsgObject("movie"));
    const uint8_t bytes[] = {1, 2, 3};
    map.insert("blob", MsgObject(bytes, 3));
    MsgObject list(msgArray, 8);
    list.append(MsgObject(int64_t{-3}));
    list.append(MsgObject(1.5));
    map.insert("list", std::move(list));
    return map;
}

TEST(MsgObjectTest, Constructors) {
    // A signed value is a NegativeInt whatever its sign; the encoder writes it by value.
    EXPECT_EQ(MsgObject(int64_t{7}).type(), MsgType::NegativeInt);
    EXPECT_EQ(MsgObject("hello").size(), 5u);
    MsgObject prefix("hello", 3);
    EXPECT_EQ(prefix.size(), 3u);
    EXPECT_STREQ(prefix.asString(), "hel");

    const uint8_t bytes[] = {1, 0, 255};
    MsgObject copied(bytes, 3);
    EXPECT_NE(copied.blobData(), bytes);
    EXPECT_EQ(std::memcmp(copied.blobData(), bytes, 3), 0);
    uint8_t* owned = new uint8_t[2]{9, 8};
    EXPECT_EQ(MsgObject(msgAdopt, owned, 2).blobData(), owned);
    // takeBlob hands the bytes over and leaves an empty blob.
    uint8_t* taken = copied.takeBlob();
    EXPECT_EQ(copied.type(), MsgType::Blob);
    EXPECT_EQ(copied.blobSize(), 0u);
    EXPECT_EQ(copied.blobData(), nullptr);
    EXPECT_EQ(taken[2], 255);
    delete[] taken;
    EXPECT_EQ(MsgObject(copied).blobSize(), 0u);

    MsgObject map(msgMap, 4);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.capacity(), 4u);
}

TEST(MsgObjectTest, FailuresCarryTheirKindAndMessage) {
    const MsgObject nil;
    const MsgObject negativeOne(int64_t{1});
    const MsgObject positiveOne(uint64_t{1});
    const MsgObject flag(true);
    MsgObject array(msgArray, 2);
    array.append(MsgObject());
    MsgObject map(msgMap, 2);
    map.insert("k", MsgObject());
    const char* const notMap = "Object is not a map.";
    const char* const notArray = "Object is not an array.";
    const char* const notBlob = "Object type is not blob, but blob expected.";
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { nil.asBool(); }, "Object type is not bool, but bool expected."},
        // The kind decides, even where the value would fit.
        {[&] { negativeOne.asPositive(); },
         "Object type is not positive integer, but positive integer expected."},
        {[&] { positiveOne.asNegative(); },
         "Object type is not negative integer, but negative integer expected."},
        {[&] { flag.asInt64(); }, "Object type is not an integer, but an integer was expected."},
        {[] { MsgObject(uint64_t{9223372036854775808u}).asInt64(); },
         "Integer value out of range, expected int64_t."},
        {[&] { positiveOne.asFloat(); }, "Object type is not float, but float expected."},
        {[&] { nil.asString(); }, "Object type is not string, but string expected."},
        {[&] { nil.blobData(); }, notBlob},
        {[&] { flag.blobSize(); }, notBlob},
        {[] { MsgObject("x").takeBlob(); }, notBlob},
        {[&] { flag.size(); }, "Object does not have size, array/map/string/blob expected."},
        {[&] { nil.at(0); }, notArray},
        {[&] { map.append(MsgObject()); }, notArray},
        {[&] { array.at(array.size()); }, "out_of_range: Index out of array range."},
        {[&] { negativeOne.keyAt(0); }, notMap},
        {[&] { array.get("a"); }, notMap},
        {[&] { array.insert("a", MsgObject()); }, notMap},
        {[&] { map.keyAt(map.size()); }, "out_of_range: Index out of map range."},
        {[&] { map.valueAt(map.size()); }, "out_of_range: Index out of map range."},
        {[] { MsgObject(msgMap, 0).get("error"); }, "Key not found in map."},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_EQ(failure(cases[i].first), cases[i].second);
    }
    // A rejected append leaves the argument with its value.
    MsgObject kept(uint64_t{3});
    EXPECT_THROW(map.append(std::move(kept)), std::runtime_error);
    EXPECT_EQ(kept.asPositive(), 3u);

    EXPECT_EQ(MsgObject(int64_t{-5}).asInt64(), -5);
    EXPECT_EQ(MsgObject(uint64_t{9223372036854775807u}).asInt64(), 9223372036854775807);
}

TEST(MsgObjectTest, MapLookupFindsTheFirstExactKey) {
    MsgObject empty(msgMap, 0);
    EXPECT_FALSE(empty.hasKey("error"));
    EXPECT_EQ(empty.findKey("error"), -1);

    MsgObject map(msgMap, 0);
    map.insert("a", MsgObject(uint64_t{1}));
    map.insert("Name", MsgObject("x"));
    map.insert("a", MsgObject(uint64_t{2}));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.get("a").asPositive(), 1u);
    EXPECT_STREQ(map.keyAt(2), "a");
    EXPECT_EQ(map.valueAt(2).asPositive(), 2u);
    EXPECT_EQ(map.findKey("Name"), 1);
    for (const char* near : {"name", "Nam", "Names"}) {
        EXPECT_EQ(map.findKey(near), -1) << near;
    }
    // get hands out the stored value itself, not a copy.
    map.get("Name") = MsgObject(true);
    EXPECT_TRUE(map.valueAt(1).asBool());
}

TEST(MsgObjectTest, GrowthDoublesFromTwoAndMovesTheValues) {
    MsgObject map(msgMap, 0);
    MsgObject array(msgArray, 0);
    const uint32_t expected[] = {2, 2, 4, 4, 8, 8, 8, 8, 16};
    for (uint32_t i = 0; i < 9; ++i) {
        MsgObject text(std::to_string(i).c_str());
        map.insert(std::to_string(i).c_str(), MsgObject(text));
        array.append(std::move(text));
        EXPECT_EQ(text.type(), MsgType::Nil);
        EXPECT_EQ(map.capacity(), expected[i]) << "after entry " << i + 1;
        EXPECT_EQ(array.capacity(), expected[i]) << "after element " << i + 1;
    }
    // Every entry survived the moves into the larger slot arrays.
    for (uint32_t i = 0; i < 9; ++i) {
        EXPECT_EQ(map.get(std::to_string(i).c_str()).asString(), std::to_string(i));
        EXPECT_EQ(array.at(i).asString(), std::to_string(i));
    }
}

TEST(MsgObjectTest, CopyIsDeepAndTrimsCapacityAndClearEmpties) {
    MsgObject source = sampleTree();
    MsgObject copy(source);
    EXPECT_EQ(copy.capacity(), 3u);
    EXPECT_EQ(copy.get("list").size(), 2u);
    EXPECT_EQ(copy.get("list").capacity(), 2u);
    ASSERT_EQ(copy.get("blob").blobSize(), 3u);
    EXPECT_EQ(copy.get("blob").blobData()[2], 3);
    EXPECT_NE(copy.get("name").asString(), source.get("name").asString());
    EXPECT_NE(copy.get("blob").blobData(), source.get("blob").blobData());
    EXPECT_NE(copy.keyAt(0), source.keyAt(0));

    source.get("list").at(0) = MsgObject("changed");
    source.insert("extra", MsgObject());
    source.clear();
    EXPECT_EQ(source.type(), MsgType::Nil);
    EXPECT_EQ(source.capacity(), 0u);
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy.get("list").at(0).asNegative(), -3);
    EXPECT_STREQ(copy.get("name").asString(), "movie");

    MsgObject assigned(uint64_t{1});
    assigned = copy;
    EXPECT_EQ(assigned.get("list").at(1).asFloat(), 1.5);
    MsgObject& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.size(), 3u);

    // A text holding NUL bytes is copied whole.
    const MsgObject withNul("a\0b", 3);
    const MsgObject nulCopy(withNul);
    ASSERT_EQ(nulCopy.size(), 3u);
    EXPECT_EQ(std::memcmp(nulCopy.asString(), "a\0b", 4), 0);
}

TEST(MsgObjectTest, MoveLeavesNilAndAssignmentFromOwnPartWorks) {
    MsgObject source = sampleTree();
    const char* name = source.get("name").asString();
    MsgObject moved(std::move(source));
    EXPECT_EQ(source.type(), MsgType::Nil);
    EXPECT_EQ(source.capacity(), 0u);
    MsgObject target("old");
    target = std::move(moved);
    EXPECT_EQ(moved.type(), MsgType::Nil);
    EXPECT_EQ(target.get("name").asString(), name);
    MsgObject& self = target;
    target = std::move(self);
    EXPECT_EQ(target.get("name").asString(), name);

    // Replacing a value by one of its own parts must not read freed memory.
    target = std::move(target.get("list"));
    EXPECT_EQ(target.at(0).asNegative(), -3);
    target = target.at(1);
    EXPECT_EQ(target.asFloat(), 1.5);
}

}  // namespace
}  // namespace zel::vem
