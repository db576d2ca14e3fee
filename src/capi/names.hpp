// Interned names: attribute, global and keyword names, and constant strings.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Each interned once for the process, by init_names().
#define LM_NAMES(X)                                        \
  X(logging, "logging")                                    \
  X(os, "os")                                              \
  X(path, "path")                                          \
  X(uuid, "uuid")                                          \
  X(uuid4, "uuid4")                                        \
  X(hashlib, "hashlib")                                    \
  X(md5, "md5")                                            \
  X(colorlog, "colorlog")                                  \
  X(RotatingFileHandler, "RotatingFileHandler")            \
  X(TimedRotatingFileHandler, "TimedRotatingFileHandler")  \
  X(_LOCK, "_LOCK")                                        \
  X(_LOGGERS, "_LOGGERS")                                  \
  X(_FHANDLERS, "_FHANDLERS")                              \
  X(_CAPTURES, "_CAPTURES")                                \
  X(_ContextFilter, "_ContextFilter")                      \
  X(_LogBase, "_LogBase")                                  \
  X(_SetLogger, "_SetLogger")                              \
  X(_GetLogger, "_GetLogger")                              \
  X(_fformatter, "_fformatter")                            \
  X(_cformatter, "_cformatter")                            \
  X(_colors, "_colors")                                    \
  X(DEBUG, "DEBUG")                                        \
  X(INFO, "INFO")                                          \
  X(WARNING, "WARNING")                                    \
  X(ERROR, "ERROR")                                        \
  X(CRITICAL, "CRITICAL")                                  \
  X(name, "name")                                          \
  X(file, "file")                                          \
  X(handler_type, "handler_type")                          \
  X(file_level, "file_level")                              \
  X(console, "console")                                    \
  X(console_level, "console_level")                        \
  X(kwargs, "kwargs")                                      \
  X(rehandler, "rehandler")                                \
  X(_logger, "_logger")                                    \
  X(_file_handler, "_file_handler")                        \
  X(_console_handler, "_console_handler")                  \
  X(_handler_filter, "_handler_filter")                    \
  X(_logger_name, "_logger_name")                          \
  X(_log, "_log")                                          \
  X(log, "log")                                            \
  X(isEnabledFor, "isEnabledFor")                          \
  X(getEffectiveLevel, "getEffectiveLevel")                \
  X(findCaller, "findCaller")                              \
  X(makeRecord, "makeRecord")                              \
  X(handle, "handle")                                      \
  X(filter, "filter")                                      \
  X(callHandlers, "callHandlers")                          \
  X(_logRecordFactory, "_logRecordFactory")                \
  X(LogRecord, "LogRecord")                                \
  X(disabled, "disabled")                                  \
  X(_cache, "_cache")                                      \
  X(_is_disabled, "_is_disabled")                          \
  X(parent, "parent")                                      \
  X(disable, "disable")                                    \
  X(enable, "enable")                                      \
  X(_create_console_handler, "_create_console_handler")    \
  X(_create_file_handler, "_create_file_handler")          \
  X(_setup_logger, "_setup_logger")                        \
  X(_captures_logger, "_captures_logger")                  \
  X(__init__, "__init__")                                  \
  X(super, "super")                                        \
  X(__enter__, "__enter__")                                \
  X(__exit__, "__exit__")                                  \
  X(getLogger, "getLogger")                                \
  X(getLevelName, "getLevelName")                          \
  X(Logger, "Logger")                                      \
  X(manager, "manager")                                    \
  X(loggerDict, "loggerDict")                              \
  X(PlaceHolder, "PlaceHolder")                            \
  X(setLevel, "setLevel")                                  \
  X(propagate, "propagate")                                \
  X(handlers, "handlers")                                  \
  X(addHandler, "addHandler")                              \
  X(removeHandler, "removeHandler")                        \
  X(addFilter, "addFilter")                                \
  X(setFormatter, "setFormatter")                          \
  X(close, "close")                                        \
  X(StreamHandler, "StreamHandler")                        \
  X(FileHandler, "FileHandler")                            \
  X(NullHandler, "NullHandler")                            \
  X(ColoredFormatter, "ColoredFormatter")                  \
  X(Formatter, "Formatter")                                \
  X(fmt, "fmt")                                            \
  X(log_colors, "log_colors")                              \
  X(makedirs, "makedirs")                                  \
  X(dirname, "dirname")                                    \
  X(abspath, "abspath")                                    \
  X(normpath, "normpath")                                  \
  X(split, "split")                                        \
  X(exist_ok, "exist_ok")                                  \
  X(get, "get")                                            \
  X(update, "update")                                      \
  X(setdefault, "setdefault")                              \
  X(pop, "pop")                                            \
  X(copy, "copy")                                          \
  X(keys, "keys")                                          \
  X(remove, "remove")                                      \
  X(encode, "encode")                                      \
  X(encoding, "encoding")                                  \
  X(hexdigest, "hexdigest")                                \
  X(filename, "filename")                                  \
  X(baseFilename, "baseFilename")                          \
  X(mode, "mode")                                          \
  X(delay, "delay")                                        \
  X(errors, "errors")                                      \
  X(maxBytes, "maxBytes")                                  \
  X(backupCount, "backupCount")                            \
  X(when, "when")                                          \
  X(interval, "interval")                                  \
  X(utc, "utc")                                            \
  X(atTime, "atTime")                                      \
  X(namer, "namer")                                        \
  X(level, "level")                                        \
  X(filters, "filters")                                    \
  X(formatter, "formatter")                                \
  X(id, "id")                                              \
  X(type, "type")                                          \
  X(handler_ids, "handler_ids")                            \
  X(s_rotating, "rotating")                                \
  X(s_timerotating, "timerotating")                        \
  X(s_root, "root")                                        \
  X(s_utf8, "utf-8")                                       \
  X(s_a, "a")                                              \
  X(s_midnight, "midnight")                                \
  X(s_dot, ".")                                            \
  X(s_space, " ")                                          \
  X(s_empty, "")                                           \
  X(s_dotlog, ".log")                                      \
  X(s_log_main, "log_main")                                \
  X(exc_info, "exc_info")                                  \
  X(exc_text, "exc_text")                                  \
  X(args, "args")

struct Names {
#define LM_NAME_FIELD(field, text) PyObject* field = nullptr;
  LM_NAMES(LM_NAME_FIELD)
#undef LM_NAME_FIELD
};

// The text of an interned name, for text put together when compiling.
constexpr const char* name_text(PyObject* Names::*field) {
#define LM_NAME_TEXT(member, text) \
  if (field == &Names::member) return text;
  LM_NAMES(LM_NAME_TEXT)
#undef LM_NAME_TEXT
  return nullptr;
}

extern Names interned;
inline const Names& N = interned;

int init_names() noexcept;

}  // namespace lm
