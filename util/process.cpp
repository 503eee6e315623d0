#include "util/util.h"

#include <cstring>

#include "util/handles.h"

bool ExecCmd(const std::string& command, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return true;
  out[0] = '\0';
  // Refused rather than cut: a shortened command line could mean another
  // command.  The 102,400-byte command buffer of the design is the bound.
  if (strlen(command.c_str()) >= kCommandBufferSize) return true;
  PipePtr pipe(popen(command.c_str(), "r"));
  if (!pipe) return true;
  char piece[kCommandReadPiece];
  size_t used = 0;
  while (fgets(piece, sizeof piece, pipe.get()) != nullptr) {
    // Output beyond the caller's buffer is read (so the command can finish)
    // but dropped.
    size_t n = strlen(piece);
    size_t room = out_size - 1 - used;
    if (n > room) n = room;
    memcpy(out + used, piece, n);
    used += n;
    out[used] = '\0';
  }
  return true;
}

std::string ExecShell(const std::string& command) {
  std::string result;
  PipePtr pipe(popen(command.c_str(), "r"));
  if (!pipe) return result;
  char piece[kCommandReadPiece];
  size_t n;
  while ((n = fread(piece, 1, sizeof piece, pipe.get())) > 0) result.append(piece, n);
  return result;
}
