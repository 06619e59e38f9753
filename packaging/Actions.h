// File-manager menu entries that run tessaline-action (tessaline-batch with
// a notification) on the selected images and folders: a Dolphin service
// menu, Nemo actions, a Nautilus extension and Thunar custom actions.
#pragma once

#include <string>
#include <vector>

struct FileManagerAction {
    std::string id;    // "saved", "preset-web-1600-px-jpg": part of file and entry names
    std::string label; // the menu text
    std::vector<std::string> args; // tessaline-batch options before the files
};

// The entries every file manager gets: the saved settings and each shipped preset.
std::vector<FileManagerAction> FileManagerActions();

// mimeTypes: "image/png;image/jpeg;..." as the desktop file lists them.
std::string DolphinServiceMenu(const std::vector<FileManagerAction>& actions,
                               const std::string& mimeTypes);
std::string NemoAction(const FileManagerAction& action, const std::string& mimeTypes);
std::string NautilusExtension(const std::vector<FileManagerAction>& actions,
                              const std::string& mimeTypes);
std::string ThunarActions(const std::vector<FileManagerAction>& actions);
