#include "app/shell_view.h"

#include "core/files.h"
#include "core/paths.h"
#include "core/platform_error.h"
#include "core/shell_log.h"
#include "core/text.h"

namespace shell {

using namespace ui;

namespace {

constexpr Color BACKGROUND{255, 12, 14, 18};
constexpr Color ACCENT{255, 0, 214, 214};
constexpr Color PAGE_TITLE{255, 244, 246, 250};
constexpr Color MUTED{255, 150, 160, 175};
constexpr Color FOCUS_SUBTITLE{255, 196, 204, 216};
constexpr Color SUBTITLE_OUTLINE{255, 0, 0, 0};
constexpr Color SUBTITLE_BACKDROP{150, 0, 0, 0};
constexpr Color BLACK{255, 0, 0, 0};
constexpr Color WHITE{255, 255, 255, 255};

template <class T>
std::shared_ptr<T> make(std::string name) {
    auto element = std::make_shared<T>();
    element->name = std::move(name);
    return element;
}

}  // namespace

ShellView::ShellView(Platform &platform, std::string app_dir, Presentation presentation)
    : platform_(platform), app_dir_override_(std::move(app_dir)), presentation_(presentation) {
    while (app_dir_override_.size() > 1 && app_dir_override_.back() == '/') app_dir_override_.pop_back();
}

ShellView::~ShellView() {
    // The pump holds the view while it runs, so the last reference can be its own.
    if (pump_.joinable() && pump_.get_id() == std::this_thread::get_id()) {
        pump_.detach();
        return;
    }
    StopRemote();
    StopPlayback();
}

void ShellView::Setup() {
    log_line(u"=== ORVELLO PLAYER 2027 / Xbox shell ===");
    // The subscription keeps the view alive, as the window's event would.
    if (platform_.SetKeyHandler([self = shared_from_this()](int key) { return self->OnKeyDown(key); }))
        log_line(u"key handler installed on the CoreWindow");
    BuildChrome();
    LoadEngines();
    // Before the first layout pass the size reads 0 and the model falls back to 1920 x 1080.
    model_init(&model_, int32_t(chrome_.root->bounds().width), int32_t(chrome_.root->bounds().height));
    model_set_safe_inset(&model_, 5);
    if (bindings_.optpl_set_tv_safe_inset) bindings_.optpl_set_tv_safe_inset(5);
    if (bindings_.optpl_set_tv_rows) bindings_.optpl_set_tv_rows(4);

    bool bundle = LoadBundle();
    if (bundle && bindings_.optpl_focus_build) {
        const char *root = bindings_.optpl_focus_root ? bindings_.optpl_focus_root() : nullptr;
        log_line(u"focus_root -> %S", root && *root ? root : "(none)");
        bool shown = false;
        for (const char *name : ROOT_TEMPLATES) {
            if (bindings_.optpl_focus_build(name, "") == 0 && bindings_.optpl_focus_count() > 0) {
                RenderPage(name, "", "");
                shown = true;
                break;
            }
        }
        if (!shown) SetStatus(u"bundle loaded, no focusable root template");
    } else {
        SetStatus(u"bundled templates not loadable (%d/3 engines)", engines_loaded_);
    }

    ChoosePlayTarget();

    platform_.StartTimer(HEARTBEAT, [self = shared_from_this()] { self->OnHeartbeat(); });
    log_line(u"UI heartbeat started");
    log_line(u"setup complete \u2014 returning to the XAML message loop");
    flush_log();
}

void ShellView::BuildChrome() {
    auto root = make<Grid>("root");
    root->background = BACKGROUND;
    root->rows = {GridLength::Auto(), GridLength::Star(), GridLength::Auto(), GridLength::Auto()};

    auto &header = root->Add(make<Grid>("header"));
    header.row = 0;
    header.margin = {48, 28, 48, 8};
    header.columns = {GridLength::Auto(), GridLength::Star(), GridLength::Auto()};

    auto &title = header.Add(make_text_block("title", u"ORVELLO PLAYER", 20, ACCENT));
    title.font_weight = FontWeight::SemiBold;
    title.vertical_alignment = VerticalAlignment::Center;
    title.column = 0;

    chrome_.page_title = make_text_block("page_title", u"", 34, PAGE_TITLE);
    chrome_.page_title->margin = {24, 0, 24, 0};
    chrome_.page_title->vertical_alignment = VerticalAlignment::Center;
    chrome_.page_title->text_trimming = TextTrimming::CharacterEllipsis;
    chrome_.page_title->column = 1;
    header.Add(chrome_.page_title);

    chrome_.playing = make_text_block("playing", u"", 20, MUTED);
    chrome_.playing->vertical_alignment = VerticalAlignment::Center;
    chrome_.playing->column = 2;
    header.Add(chrome_.playing);

    auto &body = root->Add(make<Grid>("body"));
    body.row = 1;

    chrome_.scroll = make<ScrollViewer>("scroll");
    body.Add(chrome_.scroll);
    chrome_.page_panel = make<StackPanel>("page_panel");
    chrome_.page_panel->margin = {64, 16, 64, 16};
    chrome_.scroll->SetContent(chrome_.page_panel);

    chrome_.video = make<Border>("video");
    chrome_.video->background = BLACK;
    chrome_.video->visibility = Visibility::Collapsed;
    body.Add(chrome_.video);
    auto video_grid = make<Grid>("");
    chrome_.video->SetChild(video_grid);
    chrome_.video_image = make<Image>("video_image");
    video_grid->Add(chrome_.video_image);
    chrome_.subtitle = make_text_block("subtitle", u"", 40, WHITE);
    chrome_.subtitle->text_wrapping = TextWrapping::Wrap;
    chrome_.subtitle->text_alignment = TextAlignment::Center;
    chrome_.subtitle->vertical_alignment = VerticalAlignment::Bottom;
    chrome_.subtitle->horizontal_alignment = HorizontalAlignment::Center;
    chrome_.subtitle->margin = {80, 0, 80, 60};
    // Readable over any picture: dark rings around the glyphs on a shaded box.
    chrome_.subtitle->outline_thickness = 2;
    chrome_.subtitle->outline = SUBTITLE_OUTLINE;
    chrome_.subtitle->backdrop = SUBTITLE_BACKDROP;
    chrome_.subtitle->backdrop_padding = {18, 4, 18, 6};
    video_grid->Add(chrome_.subtitle);

    chrome_.overlay = make<Canvas>("overlay");
    chrome_.overlay->hit_test_visible = false;
    body.Add(chrome_.overlay);

    // Shown with a page; it keeps its line while the focused tile has no subtitle, so the page does not jump.
    chrome_.focus_subtitle = make_text_block("focus_subtitle", u"", 22, FOCUS_SUBTITLE);
    chrome_.focus_subtitle->margin = {64, 8, 64, 0};
    chrome_.focus_subtitle->text_trimming = TextTrimming::CharacterEllipsis;
    chrome_.focus_subtitle->visibility = Visibility::Collapsed;
    chrome_.focus_subtitle->row = 2;
    root->Add(chrome_.focus_subtitle);

    chrome_.status = make_text_block("status", u"starting", 18, MUTED);
    chrome_.status->margin = {64, 4, 64, 22};
    chrome_.status->text_trimming = TextTrimming::CharacterEllipsis;
    chrome_.status->row = 3;
    root->Add(chrome_.status);

    chrome_.root = root;
    platform_.SetContent(root);
    log_line(u"chrome built: %dx%d logical", int(root->bounds().width), int(root->bounds().height));
}

void ShellView::LoadEngines() {
    std::string directory =
        app_dir_override_.empty() ? std::string(directory_of(platform_.ExecutablePath())) : app_dir_override_;
    app_dir_ = utf8_to_utf16(directory);
    engines_loaded_ = bind_engines(&bindings_, directory.c_str());
    log_line(u"engines loaded %d/3 from %s\n%s", engines_loaded_, app_dir_, utf8_to_utf16(bindings_.status));
    if (bindings_.optpl_version) log_line(u"optpl_version -> %S", bindings_.optpl_version());
    if (bindings_.oppb_version) log_line(u"oppb_version -> %S", bindings_.oppb_version());
}

bool ShellView::LoadBundle() {
    std::u16string path = app_dir_ + u"/assets/runtimetemplatebundle.txt";
    int result = bindings_.optpl_load_bundle_file ? bindings_.optpl_load_bundle_file(utf16_to_utf8(path).c_str()) : -1;
    log_line(u"load_bundle_file(%s) -> %d", path, result);
    if (bindings_.optpl_set_platform) bindings_.optpl_set_platform("UWP");
    if (bindings_.optpl_set_device) bindings_.optpl_set_device("Xbox");
    if (bindings_.optpl_set_edition) bindings_.optpl_set_edition("XboxEdition");
    if (bindings_.optpl_set_form_factor) bindings_.optpl_set_form_factor("tv");
    if (bindings_.optpl_set_language) bindings_.optpl_set_language("en");
    return result == 0;
}

// The file named by the first line of "play.txt" in the local data folder,
// else the first packaged sample there is.
void ShellView::ChoosePlayTarget() {
    std::u16string target;
    try {
        std::string folder = platform_.LocalFolder();
        log_line(u"LocalFolder -> %s", utf8_to_utf16(folder));
        std::string text = decode_text_file(platform_.ReadTextFile(folder + "/play.txt"));
        target = utf8_to_utf16(first_line(text));
        log_line(u"play.txt -> %s", target);
    } catch (const PlatformError &failure) {
        log_line(u"play.txt: none (0x%08X)", failure.code());
    }
    auto exists = [this](const std::u16string &path) { return platform_.FileExists(utf16_to_utf8(path)); };
    if (target.empty()) {
        for (const char *name : PACKAGED_MEDIA) {
            std::u16string candidate = app_dir_ + u"/corpus/" + utf8_to_utf16(name);
            if (exists(candidate)) {
                target = candidate;
                break;
            }
        }
        if (target.empty()) return;
    }
    if (!exists(target)) {
        std::string name(file_name_of(utf16_to_utf8(target)));
        target = app_dir_ + u"/corpus/" + utf8_to_utf16(name);
        log_line(u"not readable, falling back to packaged %s", target);
    }
    if (exists(target))
        PlayPath(target);
    else
        log_line(u"play target unreadable: %s", target);
}

void ShellView::ShowStatus(std::u16string text) {
    text.resize(utf16_cut(text, STATUS_LIMIT));
    model_set_status(&model_, text);
    if (chrome_.status) chrome_.status->text = text;
    log_line(u"status: %s", text);
}

}  // namespace shell
