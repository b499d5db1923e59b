// GRIDUTIL: typed two-dimensional grids and one-dimensional vectors on the heap.
// A grid is a table of row pointers, one separately allocated, zero-filled row per
// line; it does not know its size, so the caller keeps the counts and hands the line
// count back to the freer. Makers take (columns, lines) and return null on failure,
// holding no memory afterwards; counts below 1 also give null.
#pragma once

#include <cstddef>
#include <cstdint>

// The zero-filling allocator and the release every member uses; tests replace them to
// make the k-th allocation fail and to see that everything obtained is given back.
using GridCalloc = void* (*)(std::size_t count, std::size_t size);
using GridFree = void (*)(void* block);
extern GridCalloc gridutil_calloc;
extern GridFree gridutil_free;

float** fmatrice(int NbCol, int NbLig);
void frfmatrice(float** Mat, int NbLig);
float* fvecteur(int NbCol);
void frfvecteur(float* Mat);

unsigned char** ucmatrice(int NbCol, int NbLig);
void frucmatrice(unsigned char** Mat, int NbLig);
unsigned char* ucvecteur(int NbCol);
void frucvecteur(unsigned char* Mat);

std::uint16_t** usmatrice(int NbCol, int NbLig);
void frusmatrice(std::uint16_t** Mat, int NbLig);
std::uint16_t* usvecteur(int NbCol);
void frusvecteur(std::uint16_t* Mat);

std::int16_t** smatrice(int NbCol, int NbLig);
void frsmatrice(std::int16_t** Mat, int NbLig);
std::int16_t* svecteur(int NbCol);
void frsvecteur(std::int16_t* Mat);

std::int32_t** imatrice(int NbCol, int NbLig);
void frimatrice(std::int32_t** Mat, int NbLig);
std::int32_t* ivecteur(int NbCol);
void frivecteur(std::int32_t* Mat);

double** dmatrice(int NbCol, int NbLig);
void frdmatrice(double** Mat, int NbLig);
double* dvecteur(int NbCol);
void frdvecteur(double* Mat);

long double** ldmatrice(int NbCol, int NbLig);
void frldmatrice(long double** Mat, int NbLig);
