// Rendering internals shared with the focus engine.
#pragma once

#include "model.h"

// Absent slice: "" and the last-null flag set; present: a copy, flag cleared.
const char *ret_ss(Slice s);
// Translation of a key (NULL when none applies): see translatable_text.
Slice translate_slice(Slice key);
// Text shown for an object: its Key translated, else DisplayName, else Key.
Slice translatable_text(const ModelObj *obj);
// "handler" of an item: DefaultValue for a NativeHandler type, else the
// AdvanceMenu's NativeHandlerCode.
Slice item_handler(const ModelObj *item);
// The extension of `obj` for the current platform.
const ModelObj *current_plat_ext(const ModelObj *obj);
// Object field `field` of `obj` (see optpl_node_field); NULL for a name
// outside the vocabulary.
const char *obj_field(const ModelObj *obj, const char *field);
