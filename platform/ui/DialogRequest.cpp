#include "platform/ui/DialogRequest.h"

#include <ostream>

namespace platform {

namespace {

DialogRequest fromSavePanel(DialogRequest::Kind kind, const SavePanelOptions& options) {
    DialogRequest request;
    request.kind = kind;
    request.title = options.title;
    request.nameFieldStringValue = options.nameFieldStringValue;
    request.allowedFileTypes = options.allowedFileTypes;
    request.showsHiddenFiles = options.showsHiddenFiles;
    request.canCreateDirectories = options.canCreateDirectories;
    return request;
}

} // namespace

DialogRequest DialogRequest::alert(const AlertOptions& options) {
    DialogRequest request;
    request.kind = Kind::alert;
    request.messageText = options.messageText;
    request.informativeText = options.informativeText;
    return request;
}

DialogRequest DialogRequest::openPanel(const OpenPanelOptions& options) {
    DialogRequest request;
    request.kind = Kind::openPanel;
    request.title = options.title;
    request.allowedFileTypes = options.allowedFileTypes;
    request.showsHiddenFiles = options.showsHiddenFiles;
    request.canCreateDirectories = options.canCreateDirectories;
    return request;
}

DialogRequest DialogRequest::savePanel(const SavePanelOptions& options) {
    return fromSavePanel(Kind::savePanel, options);
}

DialogRequest DialogRequest::beginSavePanel(const SavePanelOptions& options) {
    return fromSavePanel(Kind::beginSavePanel, options);
}

std::string_view dialogKindName(DialogRequest::Kind kind) {
    switch (kind) {
    case DialogRequest::Kind::alert:
        return "alert";
    case DialogRequest::Kind::openPanel:
        return "openPanel";
    case DialogRequest::Kind::savePanel:
        return "savePanel";
    case DialogRequest::Kind::beginSavePanel:
        return "beginSavePanel";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const DialogRequest& request) {
    out << dialogKindName(request.kind) << "{";
    if (request.kind == DialogRequest::Kind::alert) {
        return out << "messageText: \"" << request.messageText << "\", informativeText: \""
                   << request.informativeText << "\"}";
    }
    out << "title: \"" << request.title << "\"";
    if (request.kind != DialogRequest::Kind::openPanel)
        out << ", name: \"" << request.nameFieldStringValue << "\"";
    out << ", types: [";
    for (std::size_t i = 0; i < request.allowedFileTypes.size(); ++i)
        out << (i ? ", " : "") << "\"" << request.allowedFileTypes[i] << "\"";
    return out << "], hidden: " << request.showsHiddenFiles
               << ", createDirectories: " << request.canCreateDirectories << "}";
}

} // namespace platform
