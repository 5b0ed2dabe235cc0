// Generated templates shared by the benchmarks.
#pragma once

#include <string>

// 100 sections x 200 items; every tenth item opens a group of 5 x 10 items.
inline std::string stress_template() {
    std::string t = R"({"Key":"Stress","DisplayName":"Stress","Type":"Menu","Settings":[)";
    auto item = [&](const std::string &key, bool group) {
        t += R"({"Key":"Item.)" + key + R"(","DisplayName":"A menu item with a description long enough to wrap )" + key +
             R"(","Type":"Choice","DefaultValue":"Medium")";
        if (group) {
            t += R"(,"Group":{"Key":"G)" + key + R"(","DisplayName":"Nested page","UseGrid":"true","Settings":[)";
            for (int s = 0; s < 5; s++) {
                t += std::string(s ? "," : "") + R"({"Key":"GS)" + std::to_string(s) +
                     R"(","DisplayName":"Nested section","Items":[)";
                for (int i = 0; i < 10; i++)
                    t += std::string(i ? "," : "") + R"({"Key":"N)" + std::to_string(i) +
                         R"(","DisplayName":"Nested item with a description","Type":"Toggle","DefaultValue":true})";
                t += "]}";
            }
            t += "]}";
        }
        t += "}";
    };
    for (int s = 0; s < 100; s++) {
        t += std::string(s ? "," : "") + R"({"Key":"S)" + std::to_string(s) + R"(","DisplayName":"Section","Items":[)";
        for (int i = 0; i < 200; i++) {
            if (i) t += ",";
            item(std::to_string(s) + "." + std::to_string(i), i % 10 == 0);
        }
        t += "]}";
    }
    return t + "]}";
}

// A chain of `levels` nested pages under item "Deep": each page holds one
// section of five items, the first of which opens the next page.
inline std::string nested_group(int levels) {
    if (!levels) return "";
    std::string g = R"(,"Group":{"Key":"Level)" + std::to_string(levels) + R"(","Settings":[{"Key":"L","Items":[)";
    for (int i = 0; i < 5; i++)
        g += std::string(i ? "," : "") + R"({"Key":")" + (i ? "Other" + std::to_string(i) : std::string("Deep")) + "\"" +
             (i ? "" : nested_group(levels - 1)) + "}";
    return g + "]}]}";
}

// A typical bundle: 60 templates of 5 sections x 20 items with platform
// extensions, feature flags and values, and strings in three languages; the
// first item of each template ("Deep") opens pages six levels deep.
inline std::string typical_bundle() {
    auto quoted = [](const std::string &text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        return out + "\"";
    };
    std::string bundle = "{";
    std::string strings = R"({"en":{)", fr = R"("fr":{)", de = R"("de":{)";
    for (int t = 0; t < 60; t++) {
        std::string tpl = R"({"Key":"Page)" + std::to_string(t) + R"(","UseGrid":"true","Settings":[)";
        for (int s = 0; s < 5; s++) {
            std::string skey = "P" + std::to_string(t) + "S" + std::to_string(s);
            tpl += std::string(s ? "," : "") + R"({"Key":")" + skey + R"(","Items":[)";
            for (int i = 0; i < 20; i++) {
                std::string key = s == 0 && i == 0 ? "Deep" : skey + "I" + std::to_string(i);
                tpl += std::string(i ? "," : "") + R"({"Key":")" + key + R"(","DisplayName":"Item )" + key +
                       R"(","Type":"Choice","DefaultValue":"1","AdvanceMenu":{"Url":"open:sample.mp4"},)"
                       R"("Extension":{)" + (i % 7 == 0 ? std::string(R"("FeatureFlag":"beta:on",)") : "") +
                       R"("UWP":{"Enabled":"True","Icon":"tile.png","MinVersion":"1.0"},"iOS":{"Enabled":"True"}},)"
                       R"("Values":[{"Key":"Low"},{"Key":"Medium"},{"Key":"High"}])" +
                       (key == "Deep" ? nested_group(6) : "") + "}";
                if (t == 0 && s == 0) {
                    const char *sep = i ? "," : "";
                    strings += sep + quoted(key) + ":" + quoted("Text " + key);
                    fr += sep + quoted(key) + ":" + quoted("Texte " + key);
                    de += sep + quoted(key) + ":" + quoted("Text (de) " + key);
                }
            }
            tpl += "]}";
        }
        tpl += "]}";
        bundle += (t ? ",\"page" : "\"page") + std::to_string(t) + ".json\":" + quoted(tpl);
    }
    strings += "}," + fr + "}," + de + "}}";
    return bundle + ",\"strings.json\":" + quoted(strings) + "}";
}

// A template whose RuntimeSettings (a dictionary, names compared byte for
// byte) or whose Extension (names compared ignoring case) holds `keys`
// distinct names.
inline std::string many_keys_template(int keys, bool extension) {
    std::string t = extension ? R"({"Key":"Many","Extension":{)" : R"({"Key":"Many","RuntimeSettings":{)";
    for (int i = 0; i < keys; i++) t += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"" + std::to_string(i % 97) + "\"";
    return t + R"(},"Settings":[]})";
}

// An "ffop.json" of `flags` distinct flags, two in three switched on.
inline std::string many_flags_template(int flags) {
    std::string t = R"({"Settings":[)";
    for (int i = 0; i < flags; i++)
        t += std::string(i ? "," : "") + R"({"Key":"feature.flag.)" + std::to_string(i) +
             R"(","DisplayName":"Flag","DefaultValue":)" + (i % 3 ? "true" : "false") + "}";
    return t + "]}";
}
