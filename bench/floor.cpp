// velloran-floor: the least a program on the same libraries can be. It
// starts libcurl, shows an FLTK window the size of the updater's with one
// label, lets it paint, and exits. Its peak resident memory is the part of
// the updater's that the libraries take before the updater does anything.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <curl/curl.h>

#include <chrono>

int main() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    if (!easy || !multi) return 1;

    Fl::set_font(FL_FREE_FONT, " Sans");
    Fl_Double_Window window(386, 354, "Velloran");
    Fl_Box label(8, 263, 369, 17, "Getting News...");
    label.labelfont(FL_FREE_FONT);
    window.end();
    window.show();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) Fl::wait(0.01);

    curl_multi_cleanup(multi);
    curl_easy_cleanup(easy);
    curl_global_cleanup();
    return 0;
}
