#include "util/util.h"

#include <cstring>

#include "util/handles.h"
#include "util/piece_reader.h"

bool ExecCmd(const std::string& command, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return true;
  out[0] = '\0';
  // Refused rather than cut at the 102,400-byte command buffer: a shortened
  // command line could mean another command.
  if (strlen(command.c_str()) >= kCommandBufferSize) return true;
  PipePtr pipe(popen(command.c_str(), "r"));
  if (!pipe) return true;
  // Output beyond the caller's buffer is read (so the command can finish)
  // but dropped.
  read_pieces_bounded<kCommandReadPiece>(pipe.get(), out, out_size, true);
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
