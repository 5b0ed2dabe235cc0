// Template pages as tiles, the highlight and status line, keys and taps.
#include <charconv>
#include <climits>

#include "app/shell_view.h"
#include "core/paths.h"
#include "core/platform_error.h"
#include "core/shell_log.h"
#include "core/text.h"

namespace shell {

using namespace ui;

namespace {

constexpr Color TILE{255, 22, 32, 44};
constexpr Color TILE_BORDER{255, 40, 44, 56};
constexpr Color TILE_FOCUSED{255, 34, 62, 74};
constexpr Color ACCENT{255, 0, 214, 214};
constexpr Color LABEL{255, 240, 244, 250};
constexpr Color SUBTITLE{255, 148, 158, 172};
// Nodes logged when a page is rendered.
constexpr int LOGGED_NODES = 8;
constexpr int64_t TICKS_PER_SECOND = 10'000'000;

// The leading decimal number of a handler text; -1 for none.
int handler_number(std::string_view text) {
    if (text.empty()) return -1;
    bool negative = text.front() == '-';
    if (negative || text.front() == '+') text.remove_prefix(1);
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<long long>(value * 10 + (c - '0'), 1LL + INT_MAX);
    }
    return int(std::clamp<long long>(negative ? -value : value, INT_MIN, INT_MAX));
}

}  // namespace

std::string ShellView::FocusField(int node, const char *field) const {
    const char *value = bindings_.optpl_focus_field(node, field);
    return value ? value : "";
}

void ShellView::RenderPage(const std::string &template_name, const std::string &data,
                           const std::string &restore_path) {
    chrome_.page_panel->Clear();
    chrome_.overlay->Clear();
    chrome_.scroll->ScrollToTop();
    tiles_.clear();
    const auto &b = bindings_;
    int built = b.optpl_focus_build(template_name.c_str(), data.c_str());
    if (built != 0) {
        log_line(u"focus_build(%S,%S) -> %d (%S)", template_name, data, built,
                 b.optpl_last_error ? b.optpl_last_error() : "?");
        SetStatus(u"template %S not available", template_name);
        return;
    }
    page_ = {template_name, data};
    int count = b.optpl_focus_count();
    int columns = b.optpl_tv_columns ? b.optpl_tv_columns() : -1;
    int rows = b.optpl_tv_rows ? b.optpl_tv_rows() : -1;
    log_line(u"focus_build(%S,%S) -> %d nodes, default=%d cols=%d rows=%d", template_name, data, count,
             b.optpl_focus_default(), columns, rows);
    if (!restore_path.empty()) {
        b.optpl_focus_set(b.optpl_focus_default());
        int restored = -2;
        for (int i = 0; i < count; i++) {
            if (FocusField(i, "path") == restore_path) {
                b.optpl_focus_set(i);
                restored = i;
                break;
            }
        }
        log_line(u"restore path %S -> %d", restore_path, restored);
    }
    model_set_grid(&model_, columns < 0 ? 4 : columns, rows < 0 ? 4 : rows);
    if (b.optpl_tv_layout_json) log_line(u"layout: %S", b.optpl_tv_layout_json());

    std::optional<std::string> previous_section;
    std::shared_ptr<StackPanel> row;
    for (int i = 0; i < count; i++) {
        std::string section = FocusField(i, "section"), type = FocusField(i, "type"), text = FocusField(i, "text"),
                    display = FocusField(i, "display"), subtitle = FocusField(i, "subtitle");
        if (i < LOGGED_NODES)
            log_line(u"  node[%d] type=%S text=%S display=%S key=%S sub=%S", i, type, text, display,
                     FocusField(i, "key"), subtitle);
        std::u16string label = !text.empty()                                 ? utf8_to_utf16(text)
                               : !display.empty() && display != "PageGroup" ? utf8_to_utf16(display)
                                                                              : u"(untitled)";
        std::string icon = FocusField(i, "icon");
        if (!previous_section || section.empty() || section != *previous_section) {
            if (!section.empty()) {
                auto header = make_text_block("section", utf8_to_utf16(section), 19, ACCENT);
                header->font_weight = FontWeight::SemiBold;
                header->margin = {0, 18, 0, 10};
                chrome_.page_panel->Add(header);
            }
            row = std::make_shared<StackPanel>();
            row->name = "row";
            row->orientation = Orientation::Horizontal;
            chrome_.page_panel->Add(row);
        }
        previous_section = section;
        auto tile = MakeTile(label, utf8_to_utf16(subtitle), icon, i);
        tiles_.push_back(tile);
        row->Add(tile);
    }
    chrome_.page_title->text = utf8_to_utf16(template_name);
    RefreshHighlight();
    RefreshStatus();
}

std::shared_ptr<Border> ShellView::MakeTile(const std::u16string &label, const std::u16string &subtitle,
                                            const std::string &icon, int node) {
    auto tile = std::make_shared<Border>();
    tile->name = "tile[" + std::to_string(node) + "]";
    tile->corner_radius = 6;
    tile->padding = {20, 14, 20, 14};
    tile->margin = {0, 0, 16, 12};
    tile->background = TILE;
    tile->border_brush = TILE_BORDER;
    tile->border_thickness = {2, 2, 2, 2};
    auto content = std::make_shared<StackPanel>();
    content->orientation = Orientation::Horizontal;
    tile->SetChild(content);
    if (!icon.empty() && icon.front() == '/') {
        auto image = std::make_shared<Image>();
        image->name = "icon";
        image->width = 40;
        image->height = 40;
        image->margin = {0, 0, 14, 0};
        // A picture that cannot be had leaves the place empty.
        if (std::optional<std::string> file = icon_file(utf16_to_utf8(app_dir_), icon)) {
            try {
                image->source = platform_.LoadImageFile(*file);
            } catch (const PlatformError &failure) {
                log_echo(utf8_to_utf16(failure.what()));
            }
        }
        content->Add(image);
    }
    auto column = std::make_shared<StackPanel>();
    content->Add(column);
    auto &label_block = column->Add(make_text_block("label", label, 24, LABEL));
    label_block.text_trimming = TextTrimming::CharacterEllipsis;
    if (!subtitle.empty()) {
        auto &subtitle_block = column->Add(make_text_block("detail", subtitle, 17, SUBTITLE));
        subtitle_block.text_trimming = TextTrimming::CharacterEllipsis;
    }
    // A weak reference: the view owns its tiles.
    tile->tapped = [view = weak_from_this(), node] {
        if (auto self = view.lock()) self->OnTileTapped(node);
    };
    return tile;
}

void ShellView::RefreshHighlight() {
    int focus = bindings_.optpl_focus_index ? bindings_.optpl_focus_index() : -1;
    for (size_t i = 0; i < tiles_.size(); i++) {
        bool focused = int(i) == focus;
        tiles_[i]->background = focused ? TILE_FOCUSED : TILE;
        tiles_[i]->border_brush = focused ? ACCENT : TILE_BORDER;
    }
    bool has_focus = focus >= 0 && size_t(focus) < tiles_.size();
    auto *detail = has_focus ? dynamic_cast<TextBlock *>(FindByName(*tiles_[focus], "detail")) : nullptr;
    chrome_.focus_subtitle->text = detail ? detail->text : u"";
    chrome_.focus_subtitle->visibility = tiles_.empty() ? Visibility::Collapsed : Visibility::Visible;
    if (has_focus) ShowRowOf(*tiles_[focus]);
}

// Scrolls the page so that the tile's row, with its section header where there is room, is in view.
void ShellView::ShowRowOf(const Element &tile) {
    auto rows = chrome_.page_panel->children();
    for (size_t i = 0; i < rows.size(); i++) {
        if (tile.parent() != rows[i].get()) continue;
        bool headed = i > 0 && rows[i - 1]->name == "section";
        chrome_.scroll->BringIntoView(rows[i], headed ? rows[i - 1] : nullptr);
        return;
    }
}

void ShellView::RefreshStatus() {
    int focus = bindings_.optpl_focus_index ? bindings_.optpl_focus_index() : -1;
    std::string display = focus >= 0 && bindings_.optpl_focus_field ? FocusField(focus, "display") : "";
    if (playing_) {
        // Before the first frame of a file with a start offset the position can be negative.
        int64_t position = std::max<int64_t>(position_, 0);
        long long seconds = position / TICKS_PER_SECOND;
        SetStatus(u"playing  %lld.%01llds / %llds   |   %s", seconds, position / 1'000'000 - seconds * 10,
                  (long long)(duration_ / TICKS_PER_SECOND), utf8_to_utf16(display));
    } else {
        SetStatus(u"%d nodes   focus %d   %s", bindings_.optpl_focus_count ? bindings_.optpl_focus_count() : 0, focus,
                  utf8_to_utf16(display));
    }
}

int ShellView::ApplyAction(const std::string &action, PageChange &change) {
    const auto &b = bindings_;
    change = {};
    // What entering a page needs is read before the focus engine changes the page.
    bool tracks_pages = b.optpl_nav_depth && b.optpl_focus_child_page && b.optpl_focus_index;
    int depth = tracks_pages ? b.optpl_nav_depth() : 0;
    int focus = b.optpl_focus_index ? b.optpl_focus_index() : -1;
    if (tracks_pages && focus >= 0) {
        change.focus_path = FocusField(focus, "path");
        const char *child = b.optpl_focus_child_page(focus);
        change.child_page = child ? child : "";
    }
    int result = b.optpl_focus_apply(action.c_str());
    if (tracks_pages && result == 0) change.depth_change = b.optpl_nav_depth() - depth;
    return result;
}

void ShellView::FollowPageChange(const PageChange &change) {
    if (change.depth_change > 0) {
        history_push(&model_, page_.template_name.c_str(), page_.data.c_str(), change.focus_path.c_str());
        RenderPage(page_.template_name, change.child_page, "");
    } else if (change.depth_change < 0) {
        // "home" leaves several pages at once: the page to show is the oldest one left.
        PageHistoryEntry entry{};
        bool popped = false;
        for (int i = change.depth_change; i < 0; i++) popped = history_pop(&model_, &entry) || popped;
        if (popped)
            RenderPage(entry.template_name, entry.data, entry.focus_path);
        else
            log_line(u"page history empty: the page shown is not the focus engine's");
    }
}

bool ShellView::OnKeyDown(int virtual_key) {
    if (main_) {
        if (HandleTransportKey(virtual_key)) return true;
        if (virtual_key == 27) {
            Stop();
            return true;
        }
        if (virtual_key == 32 || virtual_key == 179) {
            TogglePlayPause();
            return true;
        }
    }
    const char *mapped =
        bindings_.optpl_action_from_virtual_key ? bindings_.optpl_action_from_virtual_key(virtual_key) : nullptr;
    if (!mapped || !bindings_.optpl_focus_apply) {
        log_line(u"key %d -> no action", virtual_key);
        return false;
    }
    std::string action = mapped;  // the library's text lasts only until its next call
    PageChange change;
    int result = ApplyAction(action, change);
    int focus = bindings_.optpl_focus_index ? bindings_.optpl_focus_index() : -1;
    log_line(u"key %d -> action %S -> rc=%d focus=%d", virtual_key, action, result, focus);
    switch (result) {
        case 0:
            FollowPageChange(change);
            RefreshHighlight();
            RefreshStatus();
            break;
        case 2: ConfirmLeaf(); break;
        case 3: {
            PageHistoryEntry entry{};
            if (history_pop(&model_, &entry))
                RenderPage(entry.template_name, entry.data, entry.focus_path);
            else
                SetStatus(u"at root");
            break;
        }
        default: break;
    }
    flush_log();
    return true;
}

void ShellView::ConfirmLeaf() {
    if (!bindings_.optpl_focus_index || !bindings_.optpl_focus_field) return;
    int focus = bindings_.optpl_focus_index();
    std::string path = FocusField(focus, "path"), url = FocusField(focus, "url");
    int handler = handler_number(FocusField(focus, "handler"));
    log_line(u"confirm leaf path=%S url=%S handler=%d", path, url, handler);
    if (handler == PAIR_REMOTE_HANDLER) {
        PairRemote();
        return;
    }
    constexpr std::string_view OPEN = "open:";
    if (url.starts_with(OPEN) && bindings_.oppb_open_path) {
        PlayPath(utf8_to_utf16(resolve_in(utf16_to_utf8(app_dir_), std::string_view(url).substr(OPEN.size()))));
        return;
    }
    SetStatus(u"%s", path.empty() ? std::u16string(u"(no handler)") : utf8_to_utf16(path));
}

void ShellView::OnTileTapped(int node) {
    const auto &b = bindings_;
    if (!b.optpl_focus_set || !b.optpl_focus_apply) return;
    b.optpl_focus_set(node);
    RefreshHighlight();
    RefreshStatus();
    const char *mapped = b.optpl_action_from_key ? b.optpl_action_from_key("xbox", "select") : nullptr;
    std::string action = mapped ? mapped : "confirm";
    PageChange change;
    int result = ApplyAction(action, change);
    log_line(u"tap focus=%d apply(%S)=%d", node, action, result);
    FollowPageChange(change);
    if (result == 2 && b.optpl_focus_index && b.optpl_focus_field)
        SetStatus(u"confirmed: %S", FocusField(b.optpl_focus_index(), "path"));
}

}  // namespace shell
