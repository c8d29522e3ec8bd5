/* Suffix-sorts one file with libdivsufsort and prints the seconds taken,
   for comparison with the updater's own suffix sort (bench/patch_bench.sh). */
#include <divsufsort.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  FILE* file = fopen(argv[1], "rb");
  if (!file) return 2;
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  unsigned char* text = malloc(size > 0 ? size : 1);
  saidx_t* suffixes = malloc(sizeof(saidx_t) * (size > 0 ? size : 1));
  if (!text || !suffixes || fread(text, 1, size, file) != (size_t)size) return 2;
  fclose(file);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  if (divsufsort(text, suffixes, size) != 0) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.2f\n", (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
  free(text);
  free(suffixes);
  return 0;
}
