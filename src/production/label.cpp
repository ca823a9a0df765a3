#include "production/label.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "common/deadline.h"
#include "common/utf8_path.h"
#include "link/socket.h"
#include "production/durable_file.h"

namespace quelmar::production {

namespace {

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.';
}

// The offset of the first NUL or byte that is not part of well-formed
// UTF-8, or npos.
size_t FirstNotUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == 0) return i;
    // The bytes that follow a lead byte; 9: no lead byte.
    const size_t n = b < 0x80             ? 0
                     : (b & 0xE0) == 0xC0 ? 1
                     : (b & 0xF0) == 0xE0 ? 2
                     : (b & 0xF8) == 0xF0 ? 3
                                          : 9;
    if (n == 9 || b == 0xC0 || b == 0xC1 || b > 0xF4 || (n > 0 && i + n >= text.size())) return i;
    uint32_t cp = n == 0 ? b : b & (0x3F >> n);
    for (size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return i;
    i += n + 1;
  }
  return std::string::npos;
}

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace

const std::vector<std::string>& LabelTemplate::BuiltinNames() {
  static const std::vector<std::string> kNames = {"unit", "job", "time"};
  return kNames;
}

bool LabelTemplate::Parse(const std::string& text, const std::vector<std::string>& names,
                          std::string* why) {
  pieces_.clear();
  // A record keeps the label as JSON text, byte for byte, and a line's
  // database as jsonb: neither holds a NUL or bytes that are not UTF-8.
  if (const size_t bad = FirstNotUtf8(text); bad != std::string::npos) {
    *why = "line " + std::to_string(1 + std::count(text.begin(), text.begin() + bad, '\n')) +
           ": a NUL or a byte that is not UTF-8: write such bytes as ^FH escapes";
    return false;
  }
  std::string literal;
  // Whether the text at i is a field's data: after ^FD up to the next
  // command prefix. A value anywhere else would be a command's parameter.
  bool in_data = false;
  size_t line = 1;
  bool escaped = false;  // whether the current field's data has our ^FH
  const auto fail = [&](const std::string& reason) {
    *why = "line " + std::to_string(line) + ": " + reason;
    pieces_.clear();
    return false;
  };
  const auto flush = [&] {
    if (!literal.empty()) pieces_.push_back({std::move(literal), false});
    literal.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') ++line;
    if (c == '^' || c == '~') {
      // The escapes put in a value (\5E for ^, \7E for ~) and the prefix
      // that ends its data are only safe while ^ and ~ are the prefixes.
      if (i + 2 < text.size() && Upper(text[i + 1]) == 'C' &&
          (Upper(text[i + 2]) == 'C' || Upper(text[i + 2]) == 'T'))
        return fail(std::string(1, c) + text.substr(i + 1, 2) +
                    " changes a command prefix, which the values' escapes rely on: keep ^ and ~");
      in_data =
          c == '^' && i + 2 < text.size() && Upper(text[i + 1]) == 'F' && Upper(text[i + 2]) == 'D';
      if (in_data) {
        // The ^FD starts the literal, so that "^FH\\" can go in front of it.
        flush();
        escaped = false;
      }
      literal += c;
      continue;
    }
    if (c == '{' || c == '}') {
      if (i + 1 < text.size() && text[i + 1] == c) {
        literal += c;
        ++i;
        continue;
      }
      if (c == '}') return fail("a '}' closes no {name}: write '}}' for a brace");
      size_t end = i + 1;
      while (end < text.size() && IsNameChar(text[end])) ++end;
      if (end == i + 1 || end >= text.size() || text[end] != '}')
        return fail("a '{' opens no {name}: write '{{' for a brace");
      const std::string name = text.substr(i + 1, end - i - 1);
      const auto& builtin = BuiltinNames();
      if (std::find(names.begin(), names.end(), name) == names.end() &&
          std::find(builtin.begin(), builtin.end(), name) == builtin.end()) {
        std::string known;
        for (const auto* list : {&names, &builtin})
          for (const std::string& n : *list) known += (known.empty() ? "" : ", ") + n;
        return fail("{" + name + "} is no field of the profile nor one of the label's names (" +
                    known + ")");
      }
      if (!in_data) return fail("{" + name + "} stands outside a field's data: put it after ^FD");
      // "^FH\\" names the escape character itself, so a template's own ^FH
      // with another one cannot make a value's escapes mean something else.
      if (!escaped) literal.insert(0, "^FH\\");
      escaped = true;
      flush();
      pieces_.push_back({name, true});
      i = end;
      continue;
    }
    literal += c;
  }
  flush();
  return true;
}

std::string LabelTemplate::Render(const std::map<std::string, std::string>& values) const {
  std::string out;
  for (const Piece& piece : pieces_) {
    if (!piece.place) {
      out += piece.text;
      continue;
    }
    const auto found = values.find(piece.text);
    if (found != values.end()) out += EscapeFieldData(found->second);
  }
  return out;
}

std::string EscapeFieldData(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : value) {
    const auto b = static_cast<unsigned char>(ch);
    if (b == '^' || b == '~' || b == '\\' || b < 0x20 || b >= 0x7F) {
      out += '\\';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

bool ParsePrinter(const std::string& text, PrinterTarget* out, std::string* why) {
  *out = PrinterTarget{};
  out->text = text;
  const auto refuse = [&](const std::string& reason) {
    *why = "printer \"" + text + "\": " + reason;
    return false;
  };
  if (text.rfind("tcp://", 0) == 0) {
    const std::string rest = text.substr(6);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0)
      return refuse("should be tcp://HOST:PORT (a raw printer's port is 9100)");
    std::string host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    const std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoul(digits) == 0 || std::stoul(digits) > 65535)
      return refuse("the port should be a number from 1 to 65535");
    out->kind = PrinterTarget::Kind::kTcp;
    out->host = host;
    out->port = static_cast<uint16_t>(std::stoul(digits));
    return true;
  }
  if (text.rfind("command:", 0) == 0) {
    // Words apart by spaces; "double quotes" keep one word whole.
    const std::string rest = text.substr(8);
    std::string word;
    bool quoted = false, have = false;
    for (const char c : rest) {
      if (c == '"') {
        quoted = !quoted;
        have = true;
      } else if (c == ' ' && !quoted) {
        if (have) out->argv.push_back(word);
        word.clear();
        have = false;
      } else {
        word += c;
        have = true;
      }
    }
    if (quoted) return refuse("a '\"' is not closed");
    if (have) out->argv.push_back(word);
    if (out->argv.empty()) return refuse("names no command to run");
    out->kind = PrinterTarget::Kind::kCommand;
    return true;
  }
  if (text.rfind("file:", 0) == 0) {
    out->folder = text.substr(5);
    if (out->folder.empty()) return refuse("names no folder");
    out->kind = PrinterTarget::Kind::kFile;
    return true;
  }
  return refuse("should be tcp://HOST:PORT, command:PROGRAM ARGS... or file:FOLDER");
}

namespace {

bool SendTcp(const PrinterTarget& target, const std::string& bytes,
             std::chrono::milliseconds timeout, std::string* why,
             const std::function<bool()>& cancelled) {
  const Deadline deadline(timeout);
  // The printer is waited for in slices, so that a station told to stop
  // does not wait out a silent printer.
  const auto slice = [&] { return std::min(deadline.MillisLeft(), cancelled ? 100 : INT_MAX); };
  const auto given_up = [&] {
    if (!cancelled || !cancelled()) return false;
    *why = "the station stopped before the printer took the label";
    return true;
  };
  const std::string where = target.host + ":" + std::to_string(target.port);
  link::ConnectResult connected =
      link::ConnectTcp(target.host, target.port, static_cast<int>(timeout.count()));
  if (!connected.stream) {
    *why = "cannot connect to the printer at " + where + ": " +
           (connected.error == link::ConnectError::kRefused ? std::string("connection refused")
                                                            : connected.detail);
    return false;
  }
  link::TcpStream& stream = *connected.stream;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = stream.Send(data + sent, bytes.size() - sent, slice());
    if (n < 0) {
      *why = "the printer at " + where + " dropped the connection while the label was sent";
      return false;
    }
    if (n == 0 && given_up()) return false;
    if (n == 0 && deadline.Passed()) {
      *why = "the printer at " + where + " took only " + std::to_string(sent) + " of " +
             std::to_string(bytes.size()) + " bytes in " + std::to_string(timeout.count()) + " ms";
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  // The printer has the label once it closes its side after ours: bytes
  // still in a socket buffer are not a label on paper.
  if (!stream.ShutdownSend()) {
    *why = "the printer at " + where + " dropped the connection after the label was sent";
    return false;
  }
  for (;;) {
    uint8_t answer[256];
    const int n = stream.Receive(answer, sizeof answer, slice());
    if (n == -1) return true;
    // A reset: the printer closed with some of the label unread, or went
    // away.
    if (n < 0) {
      *why = "the printer at " + where + " reset the connection: it may not have taken the label";
      return false;
    }
    if (n == 0 && given_up()) return false;
    if (n == 0 && deadline.Passed()) {
      *why = "the printer at " + where + " did not take the label within " +
             std::to_string(timeout.count()) + " ms";
      return false;
    }
  }
}

bool SendFile(const PrinterTarget& target, const std::string& bytes, const std::string& name,
              std::string* why) {
  namespace fs = std::filesystem;
  const fs::path folder = PathFromUtf8(target.folder);
  std::error_code error;
  fs::create_directories(folder, error);
  const fs::path final_path = folder / PathFromUtf8(name + ".zpl");
  const fs::path temp_path = folder / PathFromUtf8("." + name + ".zpl.part");
  const std::string shown = Utf8FromPath(final_path);
  if (fs::exists(final_path, error)) {
    *why = "'" + shown + "' is there already: it is not written over";
    return false;
  }
  std::FILE* file = OpenFile(Utf8FromPath(temp_path), "wb");
  if (file == nullptr) {
    *why = "cannot write '" + Utf8FromPath(temp_path) + "'";
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  // A hard link fails where the name is taken: no label is written over
  // another, even by a second station at the same moment.
  std::error_code linked;
  if (ok) fs::create_hard_link(temp_path, final_path, linked);
  fs::remove(temp_path, error);
  // The name taken meanwhile (by another station) is another label's file.
  if (ok && linked == std::errc::file_exists) {
    *why = "'" + shown + "' is there already: it is not written over";
    return false;
  }
  if (!ok || linked) {
    *why = "cannot write '" + shown + "'" + (linked ? ": " + linked.message() : std::string());
    return false;
  }
  std::string flush_why;
  (void)FlushFolder(Utf8FromPath(folder), &flush_why);
  return true;
}

}  // namespace

bool SendLabel(const PrinterTarget& target, const std::string& bytes, const std::string& name,
               std::chrono::milliseconds timeout, std::string* why,
               const std::function<bool()>& cancelled) {
  switch (target.kind) {
    case PrinterTarget::Kind::kTcp:
      return SendTcp(target, bytes, timeout, why, cancelled);
    case PrinterTarget::Kind::kCommand: {
      int status = 0;
      if (!RunWithInput(target.argv, bytes, timeout, &status, why)) return false;
      if (status != 0) {
        *why = "'" + target.argv[0] + "' ended with exit status " + std::to_string(status);
        return false;
      }
      return true;
    }
    case PrinterTarget::Kind::kFile:
      return SendFile(target, bytes, name, why);
  }
  return false;
}

}  // namespace quelmar::production
