// The two transfer engines behind the eight transfer exports. Each takes the call record the
// export built and returns the call's result code.
#pragma once
#include "transfer_call.h"

// A GET download (TransferMode::kGetDownload).
int HttpDownloadFileExBC(const TransferCall &call);

// One POST request: a download by POST, a multipart upload or a raw upload.
int HttpUploadFileExBC(const TransferCall &call);
