#include "app/globals.h"

// Construction order is declaration order within this file.
HostHistory hostHistory;
HostEntry currentHost;
std::wstring iniPath;
wchar_t destinationText[kDestinationUnits];
NetConnection frameChannel{true};
NetConnection inputChannel{false};
InputSender inputSender;
FrameImage frameImage;
ViewState viewState;
uint8_t keyStateCache[256];

HWND mainWindow;
HCURSOR linkCursor;
HANDLE receiverThreadHandle;
std::atomic<bool> viewActive{false};
std::atomic<bool> connectionOpen{false};
