#include "app/globals.h"

// Construction order is declaration order within this file.
HostHistory hostHistory;
HostEntry currentHost;
NetConnection frameChannel;
NetConnection inputChannel;
FrameImage frameImage;

HWND mainWindow;
std::atomic<bool> viewActive{false};
std::atomic<bool> connectionOpen{false};
