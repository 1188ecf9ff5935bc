#pragma once
// The page's host hooks: log lines, progress, message boxes and the connected session go to the
// page's script (Module.onLog, onProgressMax, onProgress, onMessage, onAsk, onConnected).

void InstallWebHostHooks();
