// Build-time helper: the PNG icon for desktops is made from the XPM the window compiles in, so
// the two can never differ.
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("usage: xpmtopng INPUT.xpm OUTPUT.png\n", stderr);
        return 2;
    }
    const QImage image(QString::fromLocal8Bit(argv[1]), "XPM");
    if (image.isNull()) {
        std::fprintf(stderr, "xpmtopng: cannot read %s\n", argv[1]);
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "xpmtopng: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
