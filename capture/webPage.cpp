// SPDX-License-Identifier: MIT
#include "webPage.h"

namespace kelvo {
extern const unsigned char webIndexHtml[], webAppJs[], webStyleCss[], webUplotJs[], webUplotCss[];
extern const size_t webIndexHtmlSize, webAppJsSize, webStyleCssSize, webUplotJsSize, webUplotCssSize;
}  // namespace kelvo

namespace kelvo::recording {

const PageFile *pageFile(const std::string &path) {
    static const PageFile files[] = {
        {"/", "text/html; charset=utf-8", webIndexHtml, webIndexHtmlSize, true},
        {"/index.html", "text/html; charset=utf-8", webIndexHtml, webIndexHtmlSize, true},
        {"/app.js", "text/javascript; charset=utf-8", webAppJs, webAppJsSize, false},
        {"/style.css", "text/css; charset=utf-8", webStyleCss, webStyleCssSize, false},
        {"/uPlot.iife.min.js", "text/javascript; charset=utf-8", webUplotJs, webUplotJsSize, false},
        {"/uPlot.min.css", "text/css; charset=utf-8", webUplotCss, webUplotCssSize, false},
    };
    for (const PageFile &file : files) {
        if (path == file.path) return &file;
    }
    return nullptr;
}

}  // namespace kelvo::recording
