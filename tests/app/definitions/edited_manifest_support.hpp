#pragma once
// A manifest that differs from the shipped one, for the tests of the type builders:
// it is put where a downloaded copy goes, so that every new ConfigFile reads it.
// resetDefinitionsState() removes it again.
#include "app/definitions/config_file.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/foundation/value.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace gwtest {

// `edit` is given the "assetManifests" dictionary of the shipped manifest.
inline void useEditedManifest(const std::function<void(platform::foundation::Value& assetManifests)>& edit) {
    namespace pf = platform::foundation;
    auto root = pf::plist::readFile(gw::ConfigFile::bundleConfigURL().path());
    edit(root.member("assetManifests"));
    gw::ConfigFile::validateManifest(root);  // an edit the builders would not read is a broken test
    const auto path = gw::ConfigFile::cachedConfigURL().fsPath();
    pf::files::createDirectories(path.parent_path());
    pf::files::writeAtomically(path, pf::plist::serialize(root));
    ASSERT_EQ(gw::ConfigFile().rootConfig(), *root.asDictionary());
}

// An image entry of a manifest folder.
inline platform::foundation::Value manifestImage(const std::string& fileName, platform::foundation::Value metaData,
                                                 int width, int height) {
    using platform::foundation::Value;
    return Value::dict({{"filename", Value(fileName)},
                        {"metaData", std::move(metaData)},
                        {"width", Value(std::int64_t{width})},
                        {"height", Value(std::int64_t{height})}});
}

}  // namespace gwtest
