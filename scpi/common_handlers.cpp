// Common ("*...") commands and the :SYST and :STAT subtrees.
#include "scpi/arguments.h"
#include "scpi/errors.h"
#include "scpi/handlers.h"

namespace korvel::scpi {
namespace {

// Appends text to what the piece already holds, within the piece.
void appendText(char* piece, const char* text) {
    int at = 0;
    while (at < kPieceSize - 1 && piece[at] != '\0') ++at;
    for (; at < kPieceSize - 1 && *text != '\0'; ++at, ++text) piece[at] = *text;
    piece[at] = '\0';
}

}  // namespace

int numericSetting(Line& line, const char* text, char* piece, const void* context) {
    return applySetting(*static_cast<const NumericSetting*>(context), line, text, piece);
}

int clearStatus(Line& line, const char*, char*, const void*) { return mtrClearEventRegisters(line.handle); }

// The meter's 40 (or 24) bytes land in the zero-filled piece, so the reply is
// its text up to the first zero byte.
int identify(Line& line, const char*, char* piece, const void*) { return mtrGetMeterInfo(line.handle, piece); }
int options(Line& line, const char*, char* piece, const void*) { return mtrGetProbeInfo(line.handle, piece); }

int operationComplete(Line& line, const char* text, char*, const void*) {
    line.opcEventPending = true;
    if (isQuery(text)) line.opcReplyPending = true;
    return 0;
}

int systemError(Line& line, const char*, char* piece, const void*) {
    short code = 0;
    const int status = mtrGetNextError(line.handle, &code);
    if (status != 0) return status;
    writeDecimal(piece, code);
    appendText(piece, ", ");
    appendText(piece, errorText(code));
    return 0;
}

int systemClear(Line& line, const char*, char*, const void*) { return mtrClearErrorQueue(line.handle); }
int systemAutoZero(Line& line, const char*, char*, const void*) { return mtrAutoZero(line.handle); }


int statusPreset(Line& line, const char*, char*, const void*) { return mtrClearEnableRegisters(line.handle); }

}  // namespace korvel::scpi
