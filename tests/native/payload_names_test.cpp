#include "neutral/payload_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

payload_name_problem launcher_check(const std::u16string& name)
{
    return payload_check_name(reinterpret_cast<const uint16_t*>(name.data()), name.size());
}

payload_name_problem portable_check(const std::u16string& name)
{
    return payload_check_portable_name(reinterpret_cast<const uint16_t*>(name.data()), name.size());
}

TEST(payload_names, launcher_and_portable_rules)
{
    struct {
        std::u16string name;
        payload_name_problem launcher;
        payload_name_problem portable;
    } cases[] = {
        {u"main.dll", name_ok, name_ok},
        {u"lib\\sub\\x.pyd", name_ok, name_ok},
        {u"\u00e9\u4e2d\\\u0416", name_ok, name_ok},
        {u"...x", name_ok, name_ok},
        {u".hidden", name_ok, name_ok},
        {u"", name_empty, name_empty},
        {u"\\a", name_empty_component, name_empty_component},
        {u"a\\", name_empty_component, name_empty_component},
        {u"a\\\\b", name_empty_component, name_empty_component},
        {u"\\", name_empty_component, name_empty_component},
        {u".", name_dot_component, name_dot_component},
        {u"..", name_dot_component, name_dot_component},
        {u"a\\..\\b", name_dot_component, name_dot_component},
        {u"a\\.", name_dot_component, name_dot_component},
        {u"../a", name_forward_slash, name_forward_slash},
        {u"a/b", name_forward_slash, name_forward_slash},
        {u"C:x", name_colon, name_colon},
        {u"a:stream", name_colon, name_colon},
        {u"a\tb", name_control_character, name_control_character},
        {std::u16string(u"a\x1f"), name_control_character, name_control_character},
        {u"con", name_reserved_device, name_reserved_device},
        {u"dir\\NUL.txt", name_reserved_device, name_reserved_device},
        {u"Aux.tar.gz", name_reserved_device, name_reserved_device},
        {u"prn", name_reserved_device, name_reserved_device},
        {u"COM1", name_reserved_device, name_reserved_device},
        {u"lpt9.log", name_reserved_device, name_reserved_device},
        {u"con .txt", name_reserved_device, name_reserved_device},
        {u"CON\\x", name_reserved_device, name_reserved_device},
        {u"COM\u00b9", name_reserved_device, name_reserved_device},
        {u"lpt\u00b2", name_reserved_device, name_reserved_device},
        {u"d\\COM\u00b3.txt", name_reserved_device, name_reserved_device},
        {u"COM\u2074", name_ok, name_ok},
        {u"COM0", name_ok, name_ok},
        {u"COM10", name_ok, name_ok},
        {u"console", name_ok, name_ok},
        {u"nulx.txt", name_ok, name_ok},
        {u"LPT", name_ok, name_ok},
        {u"a.", name_ok, name_trailing_dot_or_space},
        {u"a \\b", name_ok, name_trailing_dot_or_space},
        {u"...", name_dot_component, name_dot_component},
        {u"a\\.. \\b", name_dot_component, name_dot_component},
        {u". ", name_dot_component, name_dot_component},
        {u"  ", name_dot_component, name_dot_component},
        {u"a<b", name_ok, name_forbidden_character},
        {u"a>b", name_ok, name_forbidden_character},
        {u"say\"", name_ok, name_forbidden_character},
        {u"a|b", name_ok, name_forbidden_character},
        {u"what?", name_ok, name_forbidden_character},
        {u"*.txt", name_ok, name_forbidden_character},
        {std::u16string(1023, u'a'), name_ok, name_ok},
        {std::u16string(1024, u'a'), name_ok, name_too_long},
    };
    for (const auto& c : cases) {
        std::string shown(c.name.begin(), c.name.end());  // enough to tell the ASCII cases apart
        EXPECT_EQ(launcher_check(c.name), c.launcher) << shown;
        EXPECT_EQ(portable_check(c.name), c.portable) << shown;
    }
}

}  // namespace
