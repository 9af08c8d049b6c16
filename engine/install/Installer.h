// The installation: moves the verified downloads over the installed files,
// all or nothing. Every installed copy that a move replaces is first kept
// aside in a folder of its run inside the temporary folder, after a journal
// there has recorded the whole plan; if any move fails, everything this run
// moved is put back.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include "support/Outcome.h"
#include "support/Task.h"

// The MD5 (hex) of the file at path, the installed copy of task; "" when it
// cannot be read. The journal records it for each copy kept aside.
using InstalledDigest = std::function<std::string(const DownloadTask& task, const std::string& path)>;

struct InstallFolders {
    std::string tempDir;
    std::string installDir;
    std::string ownName;  // the running updater's file name: its new version goes to the side file
    InstalledDigest digestOf;
};

// Done when every file is in place; Failed (rolled back as far as it could
// be, the log saying how far) with the text "安装 <name> 文件失败".
Outcome InstallDownloads(const std::vector<const DownloadTask*>& files, const InstallFolders& folders);
