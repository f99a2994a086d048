#include "shell/gtk/gtk_shell.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cmath>
#include <optional>
#include <string>

#include "core/log.h"
#include "launcher/progress_pump.h"
#include "launcher/window_layout.h"
#include "platform/posix/gtk_display.h"
#include "shell/gtk/launcher_link.h"
#include "shell/gtk/webview_bridge.js.h"
#include "web/browser_host.h"
#include "web/browser_view.h"

namespace {

std::string utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string utf16(const char* text) {
    std::u16string out;
    if (!text) return out;
    glong written = 0;
    gunichar2* converted = g_utf8_to_utf16(text, -1, nullptr, &written, nullptr);
    if (converted) out.assign(reinterpret_cast<const char16_t*>(converted), written);
    g_free(converted);
    return out;
}

// The text as a JavaScript string literal, safe to splice into a script.
std::string scriptString(const std::u16string& text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char16_t c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x2028 || c == 0x2029 || (c >= 0xD800 && c < 0xE000) ||
                   c >= 0x7F) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

class WebKitView : public BrowserView {
public:
    explicit WebKitView(WebKitWebView* view) : view_(view) {}
    void navigate(const std::u16string& url) override {
        webkit_web_view_load_uri(view_, utf8(url).c_str());
    }
    void reload() override { webkit_web_view_reload(view_); }
    void postWebMessageAsString(const std::u16string& text) override {
        const std::string script =
            "window.__orvDeliver && window.__orvDeliver(" + scriptString(text) + ");";
        webkit_web_view_evaluate_javascript(view_, script.c_str(), -1, nullptr, nullptr, nullptr,
                                            nullptr, nullptr);
    }
    std::optional<std::u16string> source() override {
        const char* uri = webkit_web_view_get_uri(view_);
        if (!uri) return std::nullopt;
        return utf16(uri);
    }

private:
    WebKitWebView* view_;
};

class GtkHostWindow : public HostWindow {
public:
    explicit GtkHostWindow(GtkWidget* window) : window_(window) {}
    void startProgressTimer() override {
        stopProgressTimer();
        timer_ = g_timeout_add(
            150,
            [](gpointer) -> gboolean {
                progressTick();
                return G_SOURCE_CONTINUE;
            },
            nullptr);
    }
    void stopProgressTimer() {
        if (timer_) g_source_remove(timer_);
        timer_ = 0;
    }
    void destroy() override {
        if (window_) gtk_widget_destroy(window_);
    }
    void forget() { window_ = nullptr; }

private:
    GtkWidget* window_;
    guint timer_ = 0;
};

GtkHostWindow* hostWindow = nullptr;

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// The rim: a 5-pixel pen along the client rectangle with round corners; only its outer two
// pixels show beside the browser.
gboolean paintFrame(GtkWidget* widget, cairo_t* cr, gpointer) {
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, rimRed / 255.0, rimGreen / 255.0, rimBlue / 255.0);
    cairo_set_line_width(cr, rimPenWidth);
    roundedRectangle(cr, 0, 0, width, height, rimCornerDiameter / 2.0);
    cairo_stroke(cr);
    return FALSE;
}

// The window's round shape, made with the X shape extension so it needs no compositor.
void shapeWindow(GtkWidget* window) {
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A1, windowWidth, windowHeight);
    cairo_t* cr = cairo_create(mask);
    roundedRectangle(cr, 0, 0, windowWidth + 1, windowHeight + 1, windowCornerDiameter / 2.0);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_region_t* region = gdk_cairo_region_create_from_surface(mask);
    gtk_widget_shape_combine_region(window, region);
    cairo_region_destroy(region);
    cairo_surface_destroy(mask);
}

void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    if (event == WEBKIT_LOAD_FINISHED) onNavigationCompleted();
}

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer browser) {
    // Only the top frame reaches the handler, so the page shown now is the one that posted.
    const std::u16string source = utf16(webkit_web_view_get_uri(WEBKIT_WEB_VIEW(browser)));
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value)) {
        onWebMessageReceived(source, std::nullopt);
        return;
    }
    char* text = jsc_value_to_string(value);
    onWebMessageReceived(source, utf16(text));
    g_free(text);
}

void addTopFrameScript(WebKitUserContentManager* content, const char* source, const char* world) {
    WebKitUserScript* script =
        world
            ? webkit_user_script_new_for_world(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, world,
                                               nullptr, nullptr)
            : webkit_user_script_new(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                     WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);
}

void connectPageBridge(WebKitWebView* browser) {
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(browser);
    addTopFrameScript(content, webviewBridgeScript, nullptr);
    addTopFrameScript(content, bridgeRelayScript, bridgeWorldName);
    g_signal_connect(content, "script-message-received::orv", G_CALLBACK(onScriptMessage), browser);
    webkit_user_content_manager_register_script_message_handler_in_world(content, "orv",
                                                                         bridgeWorldName);
}

const char* navigationUri(WebKitPolicyDecision* decision) {
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    return webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
}

// WebKitGTK asks about the navigations of every frame without saying which frame navigates. The
// top frame's become known when its document's response arrives, and are decided there, before
// anything of that document runs or shows.
gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer) {
    bool goOn = true;
    switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
            goOn = onFrameNavigation(utf16(navigationUri(decision)));
            break;
        case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
            onNewWindowRequested(utf16(navigationUri(decision)));
            goOn = false;
            break;
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE: {
            auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
            if (webkit_response_policy_decision_is_main_frame_main_resource(response)) {
                WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
                goOn = onTopLevelNavigation(utf16(webkit_uri_request_get_uri(request)));
            }
            break;
        }
    }
    if (goOn) return FALSE;  // WebKit's own decision, as before
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

}  // namespace

int runLauncherWindow() {
    if (!platform::gtkAvailable()) {
        logLine("Failed to create Window");
        return 0;
    }
    GdkRectangle screen{0, 0, designWidth, designHeight};
    if (GdkMonitor* monitor = gdk_display_get_primary_monitor(gdk_display_get_default()))
        gdk_monitor_get_geometry(monitor, &screen);
    else if (GdkMonitor* first = gdk_display_get_monitor(gdk_display_get_default(), 0))
        gdk_monitor_get_geometry(first, &screen);
    const WindowRect place = launcherWindowRect(screen.width, screen.height);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), ">ORV< Launcher");
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window), windowWidth, windowHeight);
    gtk_widget_set_size_request(window, windowWidth, windowHeight);
    gtk_window_move(GTK_WINDOW(window), screen.x + place.left, screen.y + place.top);
    gtk_widget_set_app_paintable(window, TRUE);
    g_signal_connect(window, "draw", G_CALLBACK(paintFrame), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer) {
                         hostWindow->stopProgressTimer();
                         hostWindow->forget();
                         gtk_main_quit();
                     }),
                     nullptr);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    GtkWidget* browser = webkit_web_view_new_with_user_content_manager(content);
    g_object_unref(content);
    connectPageBridge(WEBKIT_WEB_VIEW(browser));
    g_signal_connect(browser, "decide-policy", G_CALLBACK(onDecidePolicy), nullptr);
    // The browser covers the client area but a 2-pixel rim, and follows the window's size.
    gtk_widget_set_margin_start(browser, browserInset);
    gtk_widget_set_margin_end(browser, browserInset);
    gtk_widget_set_margin_top(browser, browserInset);
    gtk_widget_set_margin_bottom(browser, browserInset);
    gtk_container_add(GTK_CONTAINER(window), browser);
    g_signal_connect(browser, "load-changed", G_CALLBACK(onLoadChanged), nullptr);

    static GtkHostWindow host(window);
    hostWindow = &host;
    *launcherCalls().mainWindow = &host;
    gtk_widget_realize(window);
    shapeWindow(window);
    gtk_widget_show_all(window);

    logLine("Create WebView");
    static WebKitView view(WEBKIT_WEB_VIEW(browser));
    onBrowserReady(&view);

    gtk_main();
    *launcherCalls().webView = nullptr;
    *launcherCalls().mainWindow = nullptr;
    return 0;
}
