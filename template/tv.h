// Focus engine state: television layout settings and the focus graph.
#pragma once

#include "model.h"

enum FormFactor { FF_HANDHELD = 0, FF_DESKTOP = 1, FF_TV = 2 };

struct FocusNode {
    int node;     // render node index
    int section;  // focus section index
    int row;
    int col;
    char *path;
};

struct FocusSection {
    char *key;
    int cols;
    int first;  // first focus node, -1 when none
    int count;
    // Nearest sections before and after this one that hold focus nodes (-1
    // when none), so a move skips any run of empty sections in one step.
    int prev_filled;
    int next_filled;
};

struct NavEntry {
    char *tpl;
    char *page;
    char *focus_path;
    int focus_index;  // the entered node; -1 for entries the host pushed
};

// The focus engine's process-wide state, initialised on its own (tv_ensure_init).
struct TvState {
    int initialised;
    // Television layout settings; changing one discards the graph.
    struct {
        int form_factor;  // FormFactor
        int columns;      // 0 = from the page
        int rows;
        int safe_inset;
    } layout;
    // The focus graph of the last build, over the current render nodes.
    struct {
        int built;            // 0 while there is no graph
        char *root_template;  // template and page of the last build request
        char *page;
        FocusNode *nodes;
        int count;
        int cap;
        FocusSection *sections;
        int section_count;
        int section_cap;
        int current;        // focus node index, -1 when none
        int default_focus;  // -1 when the graph is empty
        int *unreachable;   // focus nodes no move reaches from the default
        int unreachable_count;
        int unreachable_built;  // 0 until computed for this graph
    } graph;
    // Stack of entered pages; entry 0 is the oldest.
    struct {
        NavEntry *entries;
        int depth;
        int cap;
        char *popped_path;  // path focused after the last return, NULL before any
        int popped_index;   // -1 before any return
    } nav;
    // The last documents built, each freed when it is built again or the graph goes.
    struct {
        char *focus;
        char *layout;
        char *action;
    } docs;
};

extern TvState g_tv;

void tv_ensure_init();
// Reads an integer as key codes and column counts are written: blanks, an
// optional '-', decimal or 0x hexadecimal digits; -1 without digits or
// beyond 2,147,483,647.
int parse_int(const char *p, size_t n);
// The focus getters' return buffer: `n` bytes of `s` plus a NUL ("" when it cannot grow).
const char *tret_n(const char *s, size_t n);

// The focus, layout and action documents: strings escaped with \u00xx in
// lower case and no \b or \f; a NULL string is written as "".
struct json_buf;
void jb_str(json_buf *b, const char *s);
// `prefix` (punctuation and a member name, as is) followed by a value.
void jb_text(json_buf *b, const char *prefix, const char *s);
void jb_num(json_buf *b, const char *prefix, long long v);
// The finished document, or NULL (never a cut one) when an append could not grow it.
char *jb_finish(json_buf *b);

// Entering and returning for the exports and for actions. `nothing` tells a
// node with nothing to enter (or an empty stack) apart from a failed build,
// which both give 1.
int nav_enter(int index, bool *nothing);
int nav_back(bool *nothing);
void nav_free();  // the stack and the popped path
