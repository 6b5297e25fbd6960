#include "app/gtk/gtk_window.h"

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <utility>

#include "app/linux/folder_choice.h"
#include "platform/text_table.h"
#include "run/command_line.h"

namespace corvana {

extern const unsigned char kBannerPng[];
extern const unsigned kBannerPngSize;
extern const unsigned char kIconPng[];
extern const unsigned kIconPngSize;

namespace {

// The Windows panel in dialog units, scaled so that the banner (225 x 43 units)
// keeps its 393 x 65 pixels.
constexpr double X_SCALE = 393.0 / 225;
constexpr double Y_SCALE = 65.0 / 43;
constexpr int PANEL_WIDTH = 226;
constexpr int PANEL_HEIGHT = 115;

struct Placement {
    int nId;
    int x, y, cx, cy;  // dialog units
    bool bVisible;
};

constexpr Placement PLACEMENTS[] = {
    {IDC_PROGRESS, 4, 71, 218, 9, true},   {IDC_INSTALL_PATH, 5, 70, 165, 12, false},
    {IDC_BROWSE, 172, 68, 51, 16, false},  {IDC_SIZE, 36, 85, 187, 8, true},
    {IDC_INSTALL, 118, 94, 51, 16, false}, {IDC_STATUS, 4, 49, 219, 17, true},
    {IDC_BANNER, 1, 1, 225, 43, true},     {IDC_EXIT, 172, 94, 51, 16, false},
};

int Px(int nUnits, double dScale) { return static_cast<int>(std::lround(nUnits * dScale)); }

// Controls as small as the Windows panel's: GTK's themes pad them for touch.
constexpr const char* PANEL_CSS =
    "button, entry { min-height: 0; padding: 1px 4px; }"
    "progressbar trough, progressbar progress { min-height: 12px; }"
    "#panel { border: 1px solid #808080; }";

GdkPixbuf* LoadPng(const unsigned char* pData, unsigned nSize) {
    GdkPixbufLoader* pLoader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    GdkPixbuf* pPixbuf = nullptr;
    if (pLoader != nullptr && gdk_pixbuf_loader_write(pLoader, pData, nSize, nullptr) &&
        gdk_pixbuf_loader_close(pLoader, nullptr)) {
        pPixbuf = gdk_pixbuf_loader_get_pixbuf(pLoader);
        if (pPixbuf != nullptr) g_object_ref(pPixbuf);
    }
    if (pLoader != nullptr) g_object_unref(pLoader);
    return pPixbuf;
}

// A modal message box on the panel, detail (when given) under its text; true
// when it was answered with OK. It is as wide as its title needs, and window
// managers offer neither maximise nor minimise for it.
bool MessageBox(GtkWidget* pOwner, const std::string& text, const std::string& caption,
                GtkMessageType type, GtkButtonsType buttons, const std::string& detail = {}) {
    GtkWidget* pBox = gtk_message_dialog_new(GTK_WINDOW(pOwner), GTK_DIALOG_MODAL, type, buttons,
                                             "%s", text.c_str());
    if (!detail.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(pBox), "%s", detail.c_str());
    }
    GtkWindow* pWindow = GTK_WINDOW(pBox);
    gtk_window_set_title(pWindow, caption.c_str());
    gtk_window_set_resizable(pWindow, FALSE);
    gtk_window_set_type_hint(pWindow, GDK_WINDOW_TYPE_HINT_DIALOG);
    // The title in the frame's font (often bold and larger), and room for the
    // frame's icon and close button.
    PangoLayout* pTitle = gtk_widget_create_pango_layout(pBox, caption.c_str());
    int nTitleWidth = 0;
    int nTitleHeight = 0;
    pango_layout_get_pixel_size(pTitle, &nTitleWidth, &nTitleHeight);
    g_object_unref(pTitle);
    gtk_widget_set_size_request(pBox, nTitleWidth * 3 / 2 + 96, -1);
    gtk_widget_realize(pBox);
    GdkWindow* pFrame = gtk_widget_get_window(pBox);
    gdk_window_set_functions(pFrame, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
    gdk_window_set_decorations(pFrame,
                               static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE));
    gtk_dialog_set_default_response(GTK_DIALOG(pBox), GTK_RESPONSE_OK);  // Enter is OK
    const int nResponse = gtk_dialog_run(GTK_DIALOG(pBox));
    gtk_widget_destroy(pBox);
    return nResponse == GTK_RESPONSE_OK;
}

// A request of the run's thread, shared with the main loop's callback so that a
// request the run no longer waits for is never carried out.
struct PendingRequest {
    std::mutex mutex;
    std::condition_variable done;
    const std::function<void()>* pRequest = nullptr;  // null once done or abandoned
    std::exception_ptr error;                         // what the request threw
};

}  // namespace

DesktopView::DesktopView(GtkPanel& panel) : PanelView(panel), m_panel(panel) {}

void DesktopView::ExplainFailure(const std::string& cause) {
    std::fprintf(stderr, "corvana-updater: %s\n", cause.c_str());
    m_strCause = cause;
}

void DesktopView::Note(const std::string& note) {
    std::fprintf(stderr, "corvana-updater: %s\n", note.c_str());
}

void DesktopView::ShowErrorBox(const std::string& text, const std::string& caption) {
    m_panel.ShowErrorBox(text, caption, std::exchange(m_strCause, {}));
}

void DesktopView::OfferExitOnly() {
    PanelView::OfferExitOnly();
    if (!m_strCause.empty()) m_panel.ShowCause(std::exchange(m_strCause, {}));
}

bool OpenDisplay(int& argc, char**& argv) {
    const char* pszX = std::getenv("DISPLAY");
    const char* pszWayland = std::getenv("WAYLAND_DISPLAY");
    const bool bDisplay =
        (pszX != nullptr && *pszX != '\0') || (pszWayland != nullptr && *pszWayland != '\0');
    if (!bDisplay) return false;
    // GTK would take the whole locale from the environment; numbers keep the C
    // locale's point ("vc : 1.170"), and the size line groups digits itself.
    gtk_disable_setlocale();
    std::setlocale(LC_CTYPE, "");
    std::setlocale(LC_MESSAGES, "");
    return gtk_init_check(&argc, &argv);
}

GtkPanel::GtkPanel(UpdateRun& run, std::atomic<bool>* pInterrupted)
    : m_logic(run), m_pInterrupted(pInterrupted) {
    // The main thread owns the main context from now on, so every request of the
    // run's thread waits for the main loop, even one sent before it runs.
    g_main_context_acquire(nullptr);
    Build();
}

GtkPanel::~GtkPanel() {
    gtk_widget_destroy(m_pWindow);
    if (m_pLoop != nullptr) g_main_loop_unref(m_pLoop);
    g_main_context_release(nullptr);
}

void GtkPanel::Build() {
    GtkCssProvider* pCss = gtk_css_provider_new();
    gtk_css_provider_load_from_data(pCss, PANEL_CSS, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(pCss),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(pCss);

    m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* pWindow = GTK_WINDOW(m_pWindow);
    gtk_window_set_title(pWindow, LoadText(IDS_WINDOW_TITLE).c_str());
    gtk_window_set_decorated(pWindow, FALSE);
    gtk_window_set_resizable(pWindow, FALSE);
    gtk_window_set_position(pWindow, GTK_WIN_POS_CENTER);
    if (GdkPixbuf* pIcon = LoadPng(kIconPng, kIconPngSize)) {
        gtk_window_set_icon(pWindow, pIcon);
        g_object_unref(pIcon);
    }
    gtk_widget_add_events(m_pWindow, GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);

    GtkWidget* pPanel = gtk_fixed_new();
    gtk_widget_set_name(pPanel, "panel");
    gtk_widget_set_size_request(pPanel, Px(PANEL_WIDTH, X_SCALE), Px(PANEL_HEIGHT, Y_SCALE));
    gtk_container_add(GTK_CONTAINER(m_pWindow), pPanel);

    m_strDefaultFolder = DefaultInstallFolder();
    for (const Placement& place : PLACEMENTS) {
        GtkWidget* pItem = nullptr;
        switch (place.nId) {
            case IDC_PROGRESS:
                pItem = gtk_progress_bar_new();
                break;
            case IDC_INSTALL_PATH:
                pItem = gtk_entry_new();
                gtk_editable_set_editable(GTK_EDITABLE(pItem), FALSE);
                gtk_entry_set_text(GTK_ENTRY(pItem), m_strDefaultFolder.c_str());
                break;
            case IDC_BROWSE:
                pItem = gtk_button_new_with_label("Browse...");
                break;
            case IDC_INSTALL:
                pItem = gtk_button_new_with_label("Install Now!");
                break;
            case IDC_EXIT:
                pItem = gtk_button_new_with_label("Exit");
                break;
            case IDC_BANNER: {
                GdkPixbuf* pBanner = LoadPng(kBannerPng, kBannerPngSize);
                pItem = gtk_image_new_from_pixbuf(pBanner);
                if (pBanner != nullptr) g_object_unref(pBanner);
                break;
            }
            default: {  // the status and size lines
                pItem = gtk_label_new(place.nId == IDC_STATUS ? "..." : "0 kbps");
                GtkLabel* pLabel = GTK_LABEL(pItem);
                gtk_label_set_xalign(pLabel, place.nId == IDC_SIZE ? 1.0F : 0.0F);
                gtk_label_set_yalign(pLabel, 0.0F);
                // The placement's size, whatever the text: a longer line is cut
                // (a label's natural width would otherwise widen the panel).
                gtk_label_set_ellipsize(pLabel, PANGO_ELLIPSIZE_END);
                gtk_label_set_max_width_chars(pLabel, 1);
                break;
            }
        }
        gtk_widget_set_size_request(pItem, Px(place.cx, X_SCALE), Px(place.cy, Y_SCALE));
        gtk_fixed_put(GTK_FIXED(pPanel), pItem, Px(place.x, X_SCALE), Px(place.y, Y_SCALE));
        gtk_widget_set_no_show_all(pItem, !place.bVisible);
        m_items[place.nId] = pItem;
    }

    g_signal_connect_swapped(m_items[IDC_EXIT], "clicked",
                             G_CALLBACK(+[](GtkPanel* pSelf) { pSelf->OnExit(); }), this);
    g_signal_connect_swapped(m_items[IDC_BROWSE], "clicked",
                             G_CALLBACK(+[](GtkPanel* pSelf) { pSelf->OnBrowse(); }), this);
    g_signal_connect_swapped(m_items[IDC_INSTALL], "clicked",
                             G_CALLBACK(+[](GtkPanel* pSelf) { pSelf->OnInstallNow(); }), this);
    g_signal_connect(
        m_pWindow, "button-press-event",
        G_CALLBACK(+[](GtkWidget*, GdkEventButton* pEvent, GtkPanel* pSelf) -> gboolean {
            return pSelf->OnButtonPress(pEvent);
        }),
        this);
    g_signal_connect(m_pWindow, "key-press-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventKey* pEvent, GtkPanel* pSelf) -> gboolean {
                         return pSelf->OnKeyPress(pEvent);
                     }),
                     this);
    // The close request ends the panel like Cancel: no question.
    g_signal_connect(m_pWindow, "delete-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEvent*, GtkPanel* pSelf) -> gboolean {
                         pSelf->End();
                         return TRUE;
                     }),
                     this);
}

void GtkPanel::RunUntilClosed(const std::function<void()>& onShown) {
    gtk_widget_show_all(m_pWindow);
    // The run's requests wait for the main loop, which runs from here on.
    onShown();
    const guint nWatch = g_timeout_add(
        100,
        +[](gpointer pData) -> gboolean {
            auto* pSelf = static_cast<GtkPanel*>(pData);
            if (pSelf->m_pInterrupted != nullptr && pSelf->m_pInterrupted->exchange(false) &&
                pSelf->m_logic.OnExit([] { return true; })) {
                pSelf->PostClose();
            }
            return G_SOURCE_CONTINUE;
        },
        this);
    m_pLoop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(m_pLoop);
    g_source_remove(nWatch);
}

void GtkPanel::End() {
    {
        std::lock_guard lock(m_mutex);
        if (m_bEnded) return;
        m_bEnded = true;
    }
    gtk_widget_hide(m_pWindow);
    if (m_pLoop != nullptr) g_main_loop_quit(m_pLoop);
}

void GtkPanel::Raise() {
    g_idle_add(
        +[](gpointer pData) -> gboolean {
            auto* pSelf = static_cast<GtkPanel*>(pData);
            if (pSelf->m_pWindow != nullptr) gtk_window_present(GTK_WINDOW(pSelf->m_pWindow));
            return G_SOURCE_REMOVE;
        },
        this);
}

void GtkPanel::Request(const std::function<void()>& request) {
    auto pPending = std::make_shared<PendingRequest>();
    pPending->pRequest = &request;
    {
        std::lock_guard lock(m_mutex);
        if (m_bEnded) return;
    }
    // The callback holds its own reference to the shared request.
    auto* pShared = new std::shared_ptr<PendingRequest>(pPending);
    g_main_context_invoke_full(
        nullptr, G_PRIORITY_DEFAULT,
        +[](gpointer pData) -> gboolean {
            PendingRequest& pending = **static_cast<std::shared_ptr<PendingRequest>*>(pData);
            std::lock_guard lock(pending.mutex);
            // What a request throws goes back to the run's thread, never through GTK.
            try {
                if (pending.pRequest != nullptr) (*pending.pRequest)();
            } catch (...) {
                pending.error = std::current_exception();
            }
            pending.pRequest = nullptr;
            pending.done.notify_all();
            return G_SOURCE_REMOVE;
        },
        pShared,
        +[](gpointer pData) { delete static_cast<std::shared_ptr<PendingRequest>*>(pData); });
    std::unique_lock lock(pPending->mutex);
    while (pPending->pRequest != nullptr) {
        pPending->done.wait_for(lock, std::chrono::milliseconds(50));
        std::lock_guard ended(m_mutex);
        if (m_bEnded) pPending->pRequest = nullptr;  // abandoned: never carried out
    }
    if (pPending->error) std::rethrow_exception(pPending->error);
}

void GtkPanel::SetItemText(int nId, const std::string& text) {
    Request([&] {
        GtkWidget* pItem = m_items[nId];
        if (GTK_IS_BUTTON(pItem)) {
            gtk_button_set_label(GTK_BUTTON(pItem), text.c_str());
        } else if (GTK_IS_ENTRY(pItem)) {
            gtk_entry_set_text(GTK_ENTRY(pItem), text.c_str());
        } else if (GTK_IS_LABEL(pItem)) {
            gtk_label_set_text(GTK_LABEL(pItem), text.c_str());
        }
    });
}

void GtkPanel::ShowItem(int nId, bool bShow) {
    Request([&] { gtk_widget_set_visible(m_items[nId], bShow); });
}

void GtkPanel::UpdateProgress() {
    const int nSpan = m_nProgressMax - m_nProgressMin;
    const double dFraction =
        nSpan > 0 ? static_cast<double>(m_nProgressPos - m_nProgressMin) / nSpan : 0.0;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(m_items[IDC_PROGRESS]), dFraction < 0 ? 0
                                                                           : dFraction > 1
                                                                               ? 1
                                                                               : dFraction);
}

void GtkPanel::SetProgressRange(int nMin, int nMax) {
    Request([&] {
        m_nProgressMin = nMin;
        m_nProgressMax = nMax;
        UpdateProgress();
    });
}

void GtkPanel::SetProgressPos(int nPos) {
    Request([&] {
        m_nProgressPos = nPos;
        UpdateProgress();
    });
}

void GtkPanel::ClearConfirmExit() {
    Request([&] { m_logic.ClearConfirmExit(); });
}

void GtkPanel::ShowErrorBox(const std::string& text, const std::string& caption) {
    ShowErrorBox(text, caption, {});
}

void GtkPanel::ShowErrorBox(const std::string& text, const std::string& caption,
                            const std::string& detail) {
    Request(
        [&] { MessageBox(m_pWindow, text, caption, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, detail); });
}

void GtkPanel::ShowCause(const std::string& cause) {
    Request([&] {
        GtkWidget* pLine = m_items[IDC_SIZE];
        gtk_label_set_xalign(GTK_LABEL(pLine), 0.0F);
        // Its start (what failed) and its end (why) stay in view.
        gtk_label_set_ellipsize(GTK_LABEL(pLine), PANGO_ELLIPSIZE_MIDDLE);
        gtk_label_set_text(GTK_LABEL(pLine), cause.c_str());
        gtk_widget_set_tooltip_text(pLine, cause.c_str());
        gtk_widget_show(pLine);
    });
}

void GtkPanel::PostClose() {
    g_idle_add(
        +[](gpointer pData) -> gboolean {
            static_cast<GtkPanel*>(pData)->End();
            return G_SOURCE_REMOVE;
        },
        this);
}

void GtkPanel::OnExit() {
    const bool bEnd = m_logic.OnExit([this] {
        return MessageBox(m_pWindow, LoadText(IDS_CONFIRM_EXIT), LoadText(IDS_CONFIRM_TITLE),
                          GTK_MESSAGE_QUESTION, GTK_BUTTONS_OK_CANCEL);
    });
    if (bEnd) End();
}

void GtkPanel::OnBrowse() {
    const std::string path = gtk_entry_get_text(GTK_ENTRY(m_items[IDC_INSTALL_PATH]));
    GtkFileChooserNative* pChooser =
        gtk_file_chooser_native_new(LoadText(IDS_BROWSE_TITLE).c_str(), GTK_WINDOW(m_pWindow),
                                    GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, nullptr, nullptr);
    GtkFileChooser* pFiles = GTK_FILE_CHOOSER(pChooser);
    gtk_file_chooser_set_create_folders(pFiles, TRUE);
    // It starts in the folder above the product folder, unless the field still
    // shows the default: then in the home folder (GTK's own start is its list
    // of recent files, where no folder can be picked).
    const std::string start = DialogLogic::BrowseStart(path, m_strDefaultFolder);
    gtk_file_chooser_set_current_folder(pFiles, start.empty() ? g_get_home_dir() : start.c_str());
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(pChooser)) == GTK_RESPONSE_ACCEPT) {
        if (char* pszChosen = gtk_file_chooser_get_filename(pFiles)) {
            if (*pszChosen != '\0') {
                gtk_entry_set_text(GTK_ENTRY(m_items[IDC_INSTALL_PATH]),
                                   DialogLogic::BrowseResult(pszChosen).c_str());
            }
            g_free(pszChosen);
        }
    }
    g_object_unref(pChooser);
}

void GtkPanel::OnInstallNow() {
    const std::string folder = gtk_entry_get_text(GTK_ENTRY(m_items[IDC_INSTALL_PATH]));
    // A folder that cannot be installed into is refused here, before anything
    // is fetched; the choice stays open.
    if (Result prepared = PrepareInstallFolder(folder); !prepared) {
        MessageBox(m_pWindow, prepared.GetFailure().Text(), LoadText(IDS_WINDOW_TITLE),
                   GTK_MESSAGE_WARNING, GTK_BUTTONS_OK);
        return;
    }
    m_logic.OnInstallNow(folder);
}

bool GtkPanel::OnButtonPress(GdkEventButton* pEvent) {
    if (pEvent->type != GDK_BUTTON_PRESS || pEvent->button != GDK_BUTTON_PRIMARY) return false;
    // The buttons and the path field take their own presses; a press on the
    // progress bar does nothing; anywhere else drags the panel.
    GtkWidget* pProgress = m_items[IDC_PROGRESS];
    if (gtk_widget_get_visible(pProgress)) {
        GtkAllocation area;  // in the panel's own coordinates, as the press
        gtk_widget_get_allocation(pProgress, &area);
        const int x = static_cast<int>(pEvent->x);
        const int y = static_cast<int>(pEvent->y);
        if (x >= area.x && x < area.x + area.width && y >= area.y && y < area.y + area.height) {
            return true;
        }
    }
    gtk_window_begin_move_drag(GTK_WINDOW(m_pWindow), static_cast<int>(pEvent->button),
                               static_cast<int>(pEvent->x_root), static_cast<int>(pEvent->y_root),
                               pEvent->time);
    return true;
}

bool GtkPanel::OnKeyPress(GdkEventKey* pEvent) {
    // Escape is Cancel; Enter, unless a button has the focus, is OK: both end
    // the panel without a question.
    const bool bEnter = pEvent->keyval == GDK_KEY_Return || pEvent->keyval == GDK_KEY_KP_Enter;
    if (pEvent->keyval != GDK_KEY_Escape && !bEnter) return false;
    if (bEnter && GTK_IS_BUTTON(gtk_window_get_focus(GTK_WINDOW(m_pWindow)))) return false;
    End();
    return true;
}

}  // namespace corvana
