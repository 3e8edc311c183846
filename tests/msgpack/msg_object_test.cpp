// Tests of MsgObject: kinds, ownership (copy, move, clear), accessor errors and map/array growth.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "msgpack/msg_object.h"

namespace zel::vem {
namespace {

// Runs `call` and returns the message of the exception of type E it throws ("" if none).
template <typename E>
std::string messageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "";
}

MsgObject positive(uint64_t value) {
    return MsgObject(value);
}

TEST(MsgObjectTest, ConstructorsSetKindAndValue) {
    EXPECT_EQ(MsgObject().type(), MsgType::Nil);
    EXPECT_EQ(MsgObject(nullptr).type(), MsgType::Nil);
    EXPECT_EQ(MsgObject(uint64_t{18446744073709551615u}).asPositive(), 18446744073709551615u);
    // A signed value is a NegativeInt whatever its sign.
    EXPECT_EQ(MsgObject(int64_t{7}).type(), MsgType::NegativeInt);
    EXPECT_EQ(MsgObject(int64_t{7}).asNegative(), 7);
    EXPECT_TRUE(MsgObject(true).asBool());
    EXPECT_FALSE(MsgObject(false).asBool());
    EXPECT_EQ(MsgObject(0.25).asFloat(), 0.25);

    MsgObject measured("hello");
    EXPECT_EQ(measured.type(), MsgType::String);
    EXPECT_EQ(measured.size(), 5u);
    EXPECT_STREQ(measured.asString(), "hello");

    MsgObject prefix("hello", 3);
    EXPECT_EQ(prefix.size(), 3u);
    EXPECT_STREQ(prefix.asString(), "hel");

    const uint8_t bytes[] = {1, 0, 255};
    MsgObject blob(bytes, 3);
    EXPECT_EQ(blob.type(), MsgType::Blob);
    ASSERT_EQ(blob.blobSize(), 3u);
    EXPECT_NE(blob.blobData(), bytes);
    EXPECT_EQ(std::memcmp(blob.blobData(), bytes, 3), 0);

    uint8_t* owned = new uint8_t[2]{9, 8};
    MsgObject adopted(msgAdopt, owned, 2);
    EXPECT_EQ(adopted.blobData(), owned);
    EXPECT_EQ(adopted.blobSize(), 2u);

    MsgObject map(msgMap, 4);
    EXPECT_EQ(map.type(), MsgType::Map);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.capacity(), 4u);
    MsgObject array(msgArray, 0);
    EXPECT_EQ(array.type(), MsgType::Array);
    EXPECT_EQ(array.capacity(), 0u);
}

TEST(MsgObjectTest, KindMismatchesThrowTheirMessages) {
    const MsgObject nil;
    const MsgObject negative(int64_t{-1});
    const MsgObject positiveOne(uint64_t{1});
    const MsgObject flag(true);
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* message;
    };
    const Case cases[] = {
        {"asBool", [&] { nil.asBool(); }, "Object type is not bool, but bool expected."},
        {"asPositive on a negative", [&] { negative.asPositive(); },
         "Object type is not positive integer, but positive integer expected."},
        {"asNegative on a positive", [&] { positiveOne.asNegative(); },
         "Object type is not negative integer, but negative integer expected."},
        {"asInt64", [&] { flag.asInt64(); },
         "Object type is not an integer, but an integer was expected."},
        {"asFloat", [&] { positiveOne.asFloat(); },
         "Object type is not float, but float expected."},
        {"asString", [&] { nil.asString(); }, "Object type is not string, but string expected."},
        {"blobData", [&] { nil.blobData(); }, "Object type is not blob, but blob expected."},
        {"blobSize", [&] { flag.blobSize(); }, "Object type is not blob, but blob expected."},
        {"size", [&] { flag.size(); },
         "Object does not have size, array/map/string/blob expected."},
        {"size of an integer", [&] { positiveOne.size(); },
         "Object does not have size, array/map/string/blob expected."},
        {"at", [&] { nil.at(0); }, "Object is not an array."},
        {"keyAt", [&] { negative.keyAt(0); }, "Object is not a map."},
        {"valueAt", [&] { negative.valueAt(0); }, "Object is not a map."},
        {"findKey", [&] { nil.findKey("a"); }, "Object is not a map."},
        {"hasKey", [&] { nil.hasKey("a"); }, "Object is not a map."},
        {"get", [&] { flag.get("a"); }, "Object is not a map."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(messageOf<std::runtime_error>(c.call), c.message) << c.what;
    }

    MsgObject array(msgArray, 2);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { array.get("a"); }), "Object is not a map.");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { array.insert("a", MsgObject()); }),
              "Object is not a map.");
    MsgObject map(msgMap, 2);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { map.append(MsgObject()); }),
              "Object is not an array.");
    // A rejected append or insert leaves the argument with its value.
    MsgObject kept(uint64_t{3});
    EXPECT_THROW(map.append(std::move(kept)), std::runtime_error);
    EXPECT_EQ(kept.asPositive(), 3u);
}

TEST(MsgObjectTest, Int64Conversion) {
    EXPECT_EQ(MsgObject(int64_t{-5}).asInt64(), -5);
    EXPECT_EQ(MsgObject(uint64_t{9223372036854775807u}).asInt64(), 9223372036854775807);
    EXPECT_EQ(
        messageOf<std::runtime_error>([] { MsgObject(uint64_t{9223372036854775808u}).asInt64(); }),
        "Integer value out of range, expected int64_t.");
}

TEST(MsgObjectTest, IndexErrorsAreOutOfRange) {
    MsgObject array(msgArray, 4);
    array.append(positive(1));
    EXPECT_EQ(array.at(0).asPositive(), 1u);
    EXPECT_EQ(messageOf<std::out_of_range>([&] { array.at(array.size()); }),
              "Index out of array range.");
    MsgObject map(msgMap, 4);
    map.insert("k", positive(1));
    EXPECT_EQ(messageOf<std::out_of_range>([&] { map.valueAt(map.size()); }),
              "Index out of map range.");
    EXPECT_EQ(messageOf<std::out_of_range>([&] { map.keyAt(1); }), "Index out of map range.");
    // out_of_range is a logic_error, not a runtime_error.
    EXPECT_THROW(array.at(1), std::logic_error);
}

TEST(MsgObjectTest, MapLookupFindsTheFirstExactKey) {
    MsgObject empty(msgMap, 0);
    EXPECT_FALSE(empty.hasKey("error"));
    EXPECT_EQ(empty.findKey("error"), -1);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { empty.get("error"); }), "Key not found in map.");

    MsgObject map(msgMap, 0);
    map.insert("a", positive(1));
    map.insert("Name", MsgObject("x"));
    map.insert("a", positive(2));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.get("a").asPositive(), 1u);
    EXPECT_STREQ(map.keyAt(2), "a");
    EXPECT_EQ(map.valueAt(2).asPositive(), 2u);
    EXPECT_EQ(map.findKey("Name"), 1);
    EXPECT_EQ(map.findKey("name"), -1);
    EXPECT_EQ(map.findKey("Nam"), -1);
    EXPECT_EQ(map.findKey("Names"), -1);
    EXPECT_EQ(map.findKey(""), -1);

    // Non-const access modifies in place.
    map.get("Name") = MsgObject(true);
    EXPECT_TRUE(map.valueAt(1).asBool());
}

TEST(MsgObjectTest, GrowthDoublesFromTwo) {
    MsgObject map(msgMap, 0);
    MsgObject array(msgArray, 0);
    const uint32_t expected[] = {2, 2, 4, 4, 8, 8, 8, 8, 16};
    for (uint32_t i = 0; i < 9; ++i) {
        map.insert(std::to_string(i).c_str(), positive(i));
        array.append(positive(i));
        EXPECT_EQ(map.capacity(), expected[i]) << "after entry " << i + 1;
        EXPECT_EQ(array.capacity(), expected[i]) << "after element " << i + 1;
    }
    // Every entry survived the moves into the larger arrays.
    for (uint32_t i = 0; i < 9; ++i) {
        EXPECT_EQ(map.get(std::to_string(i).c_str()).asPositive(), i);
        EXPECT_EQ(array.at(i).asPositive(), i);
    }
    MsgObject three(msgArray, 3);
    for (uint32_t i = 0; i < 4; ++i) {
        three.append(MsgObject());
    }
    EXPECT_EQ(three.capacity(), 6u);
}

TEST(MsgObjectTest, InsertAndAppendMoveTheValue) {
    MsgObject array(msgArray, 1);
    MsgObject text("payload");
    array.append(std::move(text));
    EXPECT_EQ(text.type(), MsgType::Nil);
    EXPECT_STREQ(array.at(0).asString(), "payload");

    MsgObject map(msgMap, 1);
    MsgObject inner(msgArray, 0);
    inner.append(positive(5));
    map.insert("inner", std::move(inner));
    EXPECT_EQ(inner.type(), MsgType::Nil);
    EXPECT_EQ(map.get("inner").at(0).asPositive(), 5u);
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

TEST(MsgObjectTest, CopyIsDeepAndTrimsCapacity) {
    MsgObject source = sampleTree();
    MsgObject copy(source);
    EXPECT_EQ(copy.capacity(), 3u);
    EXPECT_EQ(copy.get("list").capacity(), 2u);
    EXPECT_NE(copy.get("name").asString(), source.get("name").asString());
    EXPECT_NE(copy.get("blob").blobData(), source.get("blob").blobData());
    EXPECT_NE(copy.keyAt(0), source.keyAt(0));

    // Changing the source leaves the copy alone.
    source.get("list").at(0) = MsgObject("changed");
    source.insert("extra", MsgObject());
    source.get("name").clear();
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy.get("list").at(0).asNegative(), -3);
    EXPECT_STREQ(copy.get("name").asString(), "movie");
    EXPECT_EQ(copy.get("blob").blobData()[2], 3);

    MsgObject assigned(uint64_t{1});
    assigned = copy;
    EXPECT_EQ(assigned.get("list").at(1).asFloat(), 1.5);
    MsgObject& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.size(), 3u);
}

TEST(MsgObjectTest, TextWithNulCopiesAllItsBytes) {
    const char text[] = {'a', '\0', 'b'};
    MsgObject original(text, 3);
    MsgObject copy(original);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_EQ(std::memcmp(copy.asString(), text, 3), 0);
    EXPECT_EQ(copy.asString()[3], '\0');
}

TEST(MsgObjectTest, MoveLeavesNilAndAssignmentFromOwnPartWorks) {
    MsgObject source = sampleTree();
    const char* name = source.get("name").asString();
    MsgObject moved(std::move(source));
    EXPECT_EQ(source.type(), MsgType::Nil);
    EXPECT_EQ(source.capacity(), 0u);
    EXPECT_EQ(moved.get("name").asString(), name);

    MsgObject target("old");
    target = std::move(moved);
    EXPECT_EQ(moved.type(), MsgType::Nil);
    EXPECT_EQ(target.get("name").asString(), name);
    MsgObject& self = target;
    target = std::move(self);
    EXPECT_EQ(target.type(), MsgType::Map);

    // Replacing a value by one of its own parts must not read freed memory.
    MsgObject tree = sampleTree();
    tree = std::move(tree.get("list"));
    EXPECT_EQ(tree.type(), MsgType::Array);
    EXPECT_EQ(tree.at(0).asNegative(), -3);
    MsgObject other = sampleTree();
    other = other.get("list").at(1);
    EXPECT_EQ(other.asFloat(), 1.5);
}

TEST(MsgObjectTest, ClearAndTakeBlob) {
    MsgObject tree = sampleTree();
    tree.clear();
    EXPECT_EQ(tree.type(), MsgType::Nil);
    EXPECT_EQ(tree.capacity(), 0u);

    const uint8_t bytes[] = {7, 7};
    MsgObject blob(bytes, 2);
    uint8_t* taken = blob.takeBlob();
    EXPECT_EQ(blob.type(), MsgType::Blob);
    EXPECT_EQ(blob.blobSize(), 0u);
    EXPECT_EQ(blob.blobData(), nullptr);
    EXPECT_EQ(taken[1], 7);
    delete[] taken;
    MsgObject copy(blob);
    EXPECT_EQ(copy.blobSize(), 0u);
    EXPECT_EQ(messageOf<std::runtime_error>([] { MsgObject("x").takeBlob(); }),
              "Object type is not blob, but blob expected.");
}

}  // namespace
}  // namespace zel::vem
