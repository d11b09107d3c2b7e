// kestrel-convert's voice: the exit codes, every message to the standard error, and the
// decoders kept quiet while they read.
#pragma once

#include <QString>

namespace kcli {

// Higher is worse: a batch exits with the highest code of its inputs.
enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2, ExitFab = 3 };

// The input a batch is converting, which every message about it names; empty for one file.
extern QString about;

void say(const QString &line, const QString &subject = about);

// Drops the image readers' own complaints: the reason for a picture that cannot be read is
// kestrel's own message.
void installQuietDecoders();

// Keeps the decoders quiet while it lives: libpng prints its errors with fprintf(stderr)
// itself, past Qt's message handler, so the standard error's descriptor is pointed at the null
// device meanwhile.
class Hush
{
public:
    Hush();
    ~Hush();
    Hush(const Hush &) = delete;
    Hush &operator=(const Hush &) = delete;

private:
    int m_saved = -1;
};

} // namespace kcli
