// Value representation names, the data dictionary and the text the dicom
// command shows for an element.
#include <gtest/gtest.h>

#include <cstdio>

#include "formats/dicom.h"

namespace {

DicomElement element(unsigned g, unsigned e, const std::string& value, int fileVR = 0) {
    DicomElement el;
    el.group = static_cast<uint16_t>(g);
    el.element = static_cast<uint16_t>(e);
    el.length = static_cast<uint32_t>(value.size());
    el.vr = fileVR;
    el.value = value;
    return el;
}

TEST(DicomText, VRNamesAndCodes) {
    EXPECT_STREQ(dicomVR(0), "RT");
    EXPECT_STREQ(dicomVR(18), "SQ");
    EXPECT_STREQ(dicomVR(26), "UT");
    EXPECT_STREQ(dicomVR(27), "??");
    EXPECT_STREQ(dicomVR(-1), "??");
    EXPECT_EQ(dicomID("US"), 25);
    EXPECT_EQ(dicomID("XX"), 0);
    EXPECT_EQ(dicomID(nullptr), 0);
}

TEST(DicomText, ValuesByVR) {
    const int US = dicomID("US"), LO = dicomID("LO"), UI = dicomID("UI"), OB = dicomID("OB"), RT = 0;
    EXPECT_EQ(dicomValueText(UI, element(8, 0x18, std::string("1.2.3\0", 6))), "1.2.3");
    EXPECT_EQ(dicomValueText(LO, element(0x10, 0x20, "  ID42  ")), "ID42");
    EXPECT_EQ(dicomValueText(US, element(0x28, 0x10, std::string("\x00\x02\x07\x00", 4))), "512");
    // Short values are never read past their length.
    EXPECT_EQ(dicomValueText(US, element(0x28, 0x10, "")), "");
    EXPECT_EQ(dicomValueText(US, element(0x28, 0x10, "\x05")), "");
    EXPECT_EQ(dicomValueText(OB, element(0x7FE0, 0x10, "xyz")), "OB");
    // Unknown VR: numbers by width, other lengths as printable characters.
    EXPECT_EQ(dicomValueText(RT, element(0x29, 1, std::string("\x0f\x00", 2))), "15");
    EXPECT_EQ(dicomValueText(RT, element(0x29, 1, "\xff\xff\xff\xff")), "-1");
    EXPECT_EQ(dicomValueText(RT, element(0x29, 1, " a\x01\x80\x7f~ ")), "a..\x7f~");
    EXPECT_EQ(dicomValueText(kDicomVROther, element(0x29, 1, "abc")), "abc");
    // Text is copied literally, never used as a format.
    EXPECT_EQ(dicomValueText(dicomID("SH"), element(8, 0x50, "%s%n%d")), "%s%n%d");
}

TEST(DicomText, TheFileVRComesBeforeTheDictionary) {
    DicomDictionary dict;
    ASSERT_TRUE(dict.add({"0010", "1010", "AS", "1", "1", "Patient Age"}));
    DicomPrinted fromDict = dicomPrint(element(0x10, 0x1010, "042Y"), &dict);
    EXPECT_EQ(fromDict.vr, "AS");
    EXPECT_EQ(fromDict.name, "Patient Age");
    EXPECT_EQ(fromDict.value, "042Y");
    DicomPrinted fromFile = dicomPrint(element(0x10, 0x1010, "042Y", dicomID("UT")), &dict);
    EXPECT_EQ(fromFile.vr, "UT");
    EXPECT_EQ(fromFile.value, "UT");
    DicomPrinted unknown = dicomPrint(element(0x11, 0x11, "ab"), &dict);
    EXPECT_EQ(unknown.vr, "RT");
    EXPECT_EQ(unknown.name, "??");
    EXPECT_EQ(unknown.value, std::to_string('a' | ('b' << 8)));
}

TEST(DicomText, DictionaryEntriesAndIndex) {
    DicomDictionary dict;
    EXPECT_FALSE(dict.add({"0010", "0010", "PN", "1", "1"}));
    EXPECT_FALSE(dict.add({"1234g", "0010", "PN", "1", "1", "x"}));
    EXPECT_FALSE(dict.add({"10000", "0010", "PN", "1", "1", "x"}));
    EXPECT_FALSE(dict.add({"0010", "0010", "PN", "-1", "1", "x"}));
    EXPECT_FALSE(dict.add({"0010", "0010", "PN", "1", "n", "x"}));
    EXPECT_EQ(dict.count(), 0u);
    for (unsigned e = 0; e < 8; ++e) {
        char el[8];
        std::snprintf(el, sizeof el, "%04x", 0x20 - e);
        ASSERT_TRUE(dict.add({"0x0010", el, "LO", "1", "3", e == 2 ? "Two words" : "One"}));
    }
    EXPECT_EQ(dict.format(dicomKey(0x10, 0x1e)), "0010 001e LO 1 3 \"Two words\"");
    EXPECT_EQ(dict.format(dicomKey(0x10, 0x20)), "0010 0020 LO 1 3 One");
    EXPECT_EQ(dict.format(dicomKey(0x10, 0x21)), "");
    EXPECT_EQ(dict.index(5, 5), std::vector<std::string>{"0010 001e LO 1 3 \"Two words\""});
    EXPECT_EQ(dict.index(7, 20).size(), 1u);
    EXPECT_TRUE(dict.index(8, 9).empty());
    EXPECT_TRUE(dict.index(3, 2).empty());
    EXPECT_EQ(dict.index(-4, 0).size(), 1u);
}

}  // namespace
