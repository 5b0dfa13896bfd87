// The application bundle's property list, as the build generates it for macOS: read as XML
// and checked key by key against what the system and the application rely on.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <fstream>
#include <map>
#include <string>

#include "LoginItem.h"

namespace {

// The top-level dictionary of a property list: each key with its value, a string's text or
// "<true/>", "<false/>", "<TYPE>" for other values. Empty, with `error` set, when the file
// cannot be read, is not well-formed XML, or is not a plist holding one dictionary of
// unique keys each followed by one value.
std::map<std::string, std::string> readPlistDictionary(const QString& path, std::string& error) {
    std::map<std::string, std::string> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot read " + path.toStdString();
        return {};
    }
    QXmlStreamReader xml(&file);
    auto fail = [&](const std::string& why) {
        error = why + " (line " + std::to_string(xml.lineNumber()) + ")";
        return std::map<std::string, std::string>{};
    };
    if (!xml.readNextStartElement() || xml.name() != u"plist") return fail("no plist element");
    if (!xml.readNextStartElement() || xml.name() != u"dict") return fail("no dictionary");
    while (xml.readNextStartElement()) {
        if (xml.name() != u"key") return fail("a value without a key");
        const std::string key = xml.readElementText().toStdString();
        if (!xml.readNextStartElement()) return fail("key " + key + " without a value");
        const std::string type = xml.name().toString().toStdString();
        std::string value;
        if (type == "string") {
            value = xml.readElementText().toStdString();
        } else {
            value = type == "true" || type == "false" ? "<" + type + "/>" : "<" + type + ">";
            xml.skipCurrentElement();
        }
        if (!entries.emplace(key, value).second) return fail("key " + key + " twice");
    }
    // The rest of the document must be well-formed too.
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError()) return fail(xml.errorString().toStdString());
    if (entries.empty()) return fail("an empty dictionary");
    return entries;
}

}  // namespace

TEST(BundleInfo, GeneratedPropertyListDescribesTheMenuBarApplication) {
    std::string error;
    const auto info = readPlistDictionary(ORVANEBAR_INFO_PLIST, error);
    ASSERT_FALSE(info.empty()) << error;
    auto value = [&](const char* key) {
        const auto found = info.find(key);
        return found == info.end() ? std::string("(missing)") : found->second;
    };

    // The login-item service and the login agent know the application by one name.
    EXPECT_EQ(value("CFBundleIdentifier"), LoginItem::label);
    EXPECT_EQ(value("CFBundlePackageType"), "APPL");
    EXPECT_EQ(value("CFBundleName"), "OrvaneBar");
    // The executable the bundle names is the one the build makes.
    const std::string binary = ORVANEBAR_BINARY;
    EXPECT_EQ(value("CFBundleExecutable"), binary.substr(binary.rfind('/') + 1));
    // No Dock icon and no application menu.
    EXPECT_EQ(value("LSUIElement"), "<true/>");
    EXPECT_EQ(value("LSMinimumSystemVersion"), "13.0");

    // Both version strings are the project's version, which must be set.
    const QString version = ORVANE_VERSION;
    EXPECT_TRUE(QRegularExpression(R"(^\d+\.\d+\.\d+$)").match(version).hasMatch())
        << "project version: '" << version.toStdString() << "'";
    EXPECT_EQ(value("CFBundleShortVersionString"), version.toStdString());
    EXPECT_EQ(value("CFBundleVersion"), version.toStdString());
}

TEST(BundleInfo, MissingOrMalformedPropertyListsAreRejected) {
    QTemporaryDir dir;
    const QString path = dir.filePath("Info.plist");
    std::string error;
    EXPECT_TRUE(readPlistDictionary(path, error).empty());
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;

    const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n";
    const struct {
        std::string text;
        const char* why;
    } cases[] = {
        {head + "<key>LSUIElement</key>\n<true/>\n</dict>\n", "not closed"},
        {head + "<key>A</key>\n<string>x</strin>\n</dict>\n</plist>\n", "mismatched tag"},
        {head + "<key>A</key>\n</dict>\n</plist>\n", "key without value"},
        {head + "<string>x</string>\n</dict>\n</plist>\n", "value without key"},
        {head + "<key>A</key><true/><key>A</key><false/></dict></plist>", "duplicate key"},
        {head + "</dict>\n</plist>\n", "empty"},
        {"<?xml version=\"1.0\"?>\n<array/>\n", "not a plist"},
        {"", "empty file"},
    };
    for (const auto& c : cases) {
        std::ofstream(path.toStdString(), std::ios::trunc) << c.text;
        error.clear();
        EXPECT_TRUE(readPlistDictionary(path, error).empty()) << c.why;
        EXPECT_FALSE(error.empty()) << c.why;
    }

    std::ofstream(path.toStdString(), std::ios::trunc)
        << head << "<key>A</key>\n<string>x &amp; y</string>\n<key>B</key>\n<false/>\n"
        << "<key>C</key>\n<array><string>z</string></array>\n</dict>\n</plist>\n";
    const auto entries = readPlistDictionary(path, error);
    EXPECT_EQ(entries, (std::map<std::string, std::string>{
                           {"A", "x & y"}, {"B", "<false/>"}, {"C", "<array>"}}))
        << error;
}
