#include "platform/foundation/keyed_archiver.hpp"

#include <gtest/gtest.h>

namespace pf = platform::foundation;

namespace {

struct Frame : pf::Archivable {
    double width = 0;
    bool locked = false;
    Frame() = default;
    explicit Frame(const pf::KeyedUnarchiver& u) : width(u.decodeDouble("width")), locked(u.decodeBool("locked")) {}
    std::string archiveClassName() const override { return "test.Frame"; }
    void encode(pf::KeyedArchiver& a) const override {
        a.encodeDouble("width", width);
        a.encodeBool("locked", locked);
    }
};

struct Picture : pf::Archivable {
    std::string name;
    std::int64_t scale = 0;
    pf::Value extra;
    std::shared_ptr<Frame> frame;
    std::vector<std::shared_ptr<Frame>> layers;
    Picture() = default;
    explicit Picture(const pf::KeyedUnarchiver& u)
        : name(u.decodeString("name").value_or("")),
          scale(u.decodeInteger("scale")),
          extra(u.decode("extra")),
          frame(u.decodeObject<Frame>("frame")) {
        for (auto& l : u.decodeObjects("layers")) layers.push_back(std::dynamic_pointer_cast<Frame>(l));
    }
    std::string archiveClassName() const override { return "test.Picture"; }
    void encode(pf::KeyedArchiver& a) const override {
        a.encodeString("name", name);
        a.encodeInteger("scale", scale);
        a.encode("extra", extra);
        a.encodeObject("frame", frame.get());
        std::vector<const pf::Archivable*> ls;
        for (auto& l : layers) ls.push_back(l.get());
        a.encodeObjects("layers", ls);
    }
};

struct Registered {
    Registered() {
        pf::KeyedUnarchiver::registerClass<Frame>("test.Frame");
        pf::KeyedUnarchiver::registerClass<Picture>("test.Picture");
    }
};
const Registered registered;

}  // namespace

TEST(KeyedArchiver, RoundTripsNestedObjectsAndPlainValues) {
    Picture p;
    p.name = "icon";
    p.scale = 3;
    // A plain dictionary that looks like an encoded object must stay a plain value.
    p.extra = pf::Value::dict({{"$class", "test.Frame"}, {"$fields", pf::Dictionary{}}});
    p.frame = std::make_shared<Frame>();
    p.frame->width = 12.5;
    p.frame->locked = true;
    p.layers = {std::make_shared<Frame>(), std::make_shared<Frame>()};
    p.layers[1]->width = 2;

    auto back = pf::KeyedUnarchiver::unarchiveObject<Picture>(pf::KeyedArchiver::archivedData(p));
    EXPECT_EQ(back->name, "icon");
    EXPECT_EQ(back->scale, 3);
    EXPECT_EQ(back->extra, p.extra);
    ASSERT_TRUE(back->frame);
    EXPECT_EQ(back->frame->width, 12.5);
    EXPECT_TRUE(back->frame->locked);
    ASSERT_EQ(back->layers.size(), 2u);
    EXPECT_EQ(back->layers[1]->width, 2);
}

TEST(KeyedArchiver, AbsentObjectsAndKeysDecodeAsEmpty) {
    Picture p;
    auto back = pf::KeyedUnarchiver::unarchiveObject<Picture>(pf::KeyedArchiver::archivedData(p));
    EXPECT_FALSE(back->frame);
    EXPECT_TRUE(back->layers.empty());
    EXPECT_TRUE(back->extra.isNull());
}

TEST(KeyedArchiver, RefusesForeignBytesUnknownClassesAndWrongRoots) {
    EXPECT_THROW(pf::KeyedUnarchiver::unarchiveObject(pf::dataFromString("not an archive")), pf::Error);
    EXPECT_THROW(pf::KeyedUnarchiver::unarchiveObject(pf::Data{}), pf::Error);

    struct Unknown : pf::Archivable {
        std::string archiveClassName() const override { return "test.Unregistered"; }
        void encode(pf::KeyedArchiver&) const override {}
    };
    try {
        pf::KeyedUnarchiver::unarchiveObject(pf::KeyedArchiver::archivedData(Unknown{}));
        FAIL();
    } catch (const pf::Error& e) {
        EXPECT_EQ(e.code(), static_cast<int>(pf::FoundationErrorCode::coderReadCorrupt));
        EXPECT_NE(std::string(e.what()).find("test.Unregistered"), std::string::npos);
    }
    Frame f;
    EXPECT_THROW(pf::KeyedUnarchiver::unarchiveObject<Picture>(pf::KeyedArchiver::archivedData(f)), pf::Error);
}

namespace {
// A frame written by an older version under another class name.
struct OldFrame : Frame {
    std::string archiveClassName() const override { return "test.OldFrame"; }
};
}  // namespace

TEST(KeyedArchiver, OldClassNamesDecodeThroughTheNewClassAndArraysCanBeTheRoot) {
    OldFrame old;
    old.width = 12.5;
    const pf::ArchivedArray array({std::make_shared<OldFrame>(old), std::make_shared<Frame>()});
    const pf::Data data = pf::KeyedArchiver::archivedData(array);
    EXPECT_THROW(pf::KeyedUnarchiver::unarchiveObject(data), pf::Error);  // nobody knows the old name yet

    pf::KeyedUnarchiver::addClassSubstitutions({{"test.OldFrame", "test.Frame"}, {"test.Gone", "test.Missing"}});
    const auto decoded = pf::KeyedUnarchiver::unarchiveObject<pf::ArchivedArray>(data);
    ASSERT_EQ(decoded->objects.size(), 2u);
    const auto first = std::dynamic_pointer_cast<Frame>(decoded->objects[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->archiveClassName(), "test.Frame");
    EXPECT_EQ(first->width, 12.5);

    // An old name that maps to a class nobody registered is refused like an unknown one.
    struct Gone : pf::Archivable {
        std::string archiveClassName() const override { return "test.Gone"; }
        void encode(pf::KeyedArchiver&) const override {}
    };
    EXPECT_THROW(pf::KeyedUnarchiver::unarchiveObject(pf::KeyedArchiver::archivedData(Gone())), pf::Error);
}
