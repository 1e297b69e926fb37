#include "ribexweb_page.h"

#include <windows.h>

#include <string.h>

namespace {

struct PageEntry {
    const char *path;
    const wchar_t *resource;
    const char *contentType;
};

const PageEntry kPage[] = {
    {"/", L"PAGE_INDEX_HTML", "text/html; charset=utf-8"},
    {"/index.html", L"PAGE_INDEX_HTML", "text/html; charset=utf-8"},
    {"/ribexweb.js", L"PAGE_APP_JS", "text/javascript; charset=utf-8"},
    {"/ribexweb.css", L"PAGE_APP_CSS", "text/css; charset=utf-8"},
    {"/uPlot.js", L"PAGE_UPLOT_JS", "text/javascript; charset=utf-8"},
    {"/uPlot.css", L"PAGE_UPLOT_CSS", "text/css; charset=utf-8"},
};

}  // namespace

bool WebPageFind(const char *path, WebPageFile *file) {
    for (const PageEntry &e : kPage) {
        if (strcmp(path, e.path) != 0) continue;
        // Resources of a loaded image stay mapped as long as it runs.
        HRSRC found = FindResourceW(nullptr, e.resource, MAKEINTRESOURCEW(10));  // RT_RCDATA
        HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
        if (loaded == nullptr) return false;
        file->data = static_cast<const char *>(LockResource(loaded));
        file->size = SizeofResource(nullptr, found);
        file->contentType = e.contentType;
        return file->data != nullptr;
    }
    return false;
}
