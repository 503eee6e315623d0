// Reading a stream in fgets() pieces into a caller's fixed buffer.
#pragma once

#include <cstdio>
#include <cstring>

// Appends what fgets() reads from f, piece by piece (each piece of at most
// Piece - 1 bytes, kept up to its first NUL byte), to out, a buffer of
// out_size bytes that stays terminated; reading stops once out is full.
template <size_t Piece>
void read_pieces_bounded(FILE* f, char* out, size_t out_size) {
  char piece[Piece];
  size_t used = strlen(out);
  while (fgets(piece, sizeof piece, f) != nullptr) {
    size_t n = strlen(piece);
    size_t room = out_size - 1 - used;
    if (n > room) n = room;
    memcpy(out + used, piece, n);
    used += n;
    out[used] = '\0';
    if (used == out_size - 1) break;
  }
}
