// Arbitrary bytes as a template text, as a bundle, and as a zlib bundle. The
// first byte picks the route; the rest is the input. Parsed models are walked
// through the read operations and the verdict of every item.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "model.h"
#include "optpl.h"
#include "optpl_internal.h"
#include "rules.h"

static void walk(const ModelObj *o, int depth) {
    if (!o || depth > 300) return;
    for (const char *name : {"Key", "DisplayName", "Type", "DefaultValue", "Enabled", "UseGrid"}) (void)obj_get(o, name);
    if (o->kind == K_ITEM) (void)verdict_visible(item_verdict(o));
    for (int slot = 0; slot < CHILD_SLOTS; slot++) walk(obj_child(o, slot), depth + 1);
    for (int slot = 0; slot < LIST_SLOTS; slot++) {
        const ModelList *list = obj_list(o, slot);
        for (int i = 0; i < list->count; i++) walk(list->items[i], depth + 1);
    }
}

static void parse_all() {
    for (int i = 0; i < optpl_template_count(); i++) {
        std::string name = optpl_template_name(i);
        ModelObj *root = nullptr;
        if (optpl_parse_template(name.c_str()) == 0 && get_parsed(name.c_str(), &root) == 0) walk(root, 0);
        for (int w = 0; w < optpl_warning_count(); w++) (void)strlen(optpl_warning(w));
    }
    optpl_use_bundle_feature_flags();
    for (int i = 0; i < optpl_language_count(); i++) optpl_set_language(optpl_language_name(i));
    (void)optpl_translate("Settings");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t route = data[0] % 3;
    data++;
    size--;
    optpl_init();
    const char *platforms[] = {"UWP", "iOS", "tvOS", "Droid", "SkiaMacOS"};
    optpl_set_platform(platforms[size % 5]);
    optpl_set_app_version("2.5");
    if (size % 2) optpl_set_flag("beta", "on");
    if (route == 0) {
        std::string text(reinterpret_cast<const char *>(data), size);
        optpl_add_template("t.json", text.c_str());
        optpl_add_template("ffop.json", text.c_str());
        optpl_add_template("strings.json", text.c_str());
        parse_all();
    } else if (route == 1) {
        if (optpl_load_bundle_bytes(data, size) == 0) parse_all();
    } else {
        uLongf len = compressBound(size);
        std::string z(len, '\0');
        if (compress2(reinterpret_cast<Bytef *>(z.data()), &len, data, size, 6) == Z_OK &&
            optpl_load_bundle_bytes(reinterpret_cast<const unsigned char *>(z.data()), len) == 0)
            parse_all();
    }
    optpl_cleanup();
    return 0;
}
