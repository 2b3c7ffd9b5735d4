// Windows BMP files: 8-bit grey with a gamma palette and 24-bit colour.
// Functions return 0 on success and -1 on failure with the reason in
// imageError. Not reentrant.
#ifndef IMAGE_IO_H
#define IMAGE_IO_H

extern char *imageError;
extern char read_ret[100];       // formatted messages that carry numbers
extern int im_gamma[256];        // gamma table of the last write
extern unsigned char fbuf[4000]; // header and palette of the last write

// Largest file (and so image) the reader accepts.
#define BMP_MAX_FILE_SIZE 1400000

int write_bmp(const char *name, unsigned char *im, int width, int height,
              double gam);
int write_color_bmp(const char *name, unsigned char *im, int width,
                    int height, double gam);
int read_bmp(const char *name, unsigned char *im, int *width, int *height,
             int interlace);

void write_bmp_word(unsigned char *p, int v);
void write_bmp_long(unsigned char *p, int v);
int read_bmp_word(unsigned char *p);
int read_bmp_long(unsigned char *p);

#endif
