#include "core/log_writer.h"

namespace korvel::cli {

int LogWriter::begin(const RunMeta& meta) {
    meta_ = meta;
    if (log_.continued() && log_.wantsRotation(formatMeta(format_, meta_).size())) {
        if (const int error = log_.rotate(); error != 0) return error;
    }
    return writeHead(!log_.continued());
}

int LogWriter::reading(const LoggedReading& reading) { return write(formatRecord(format_, reading)); }

int LogWriter::gap(WallClock::time_point from, WallClock::time_point to) { return write(formatGap(format_, from, to)); }

int LogWriter::writeHead(bool header) {
    if (format_ == Format::Text && !log_.toFile()) return 0;
    meta_.start = WallClock::now();
    meta_.file = log_.rotating() ? log_.fileNumber() : 0;
    std::string head = formatMeta(format_, meta_);
    if (header && format_ == Format::Csv) head += csvHeader();
    return log_.write(head);
}

int LogWriter::write(const std::string& record) {
    if (log_.wantsRotation(record.size())) {
        if (const int error = log_.rotate(); error != 0) return error;
        if (const int error = writeHead(true); error != 0) return error;
    }
    return log_.write(record);
}

}  // namespace korvel::cli
