// The reading commands: `volpack verify|list|extract IMAGE.dmg ...`.
//
//   volpack verify IMAGE.dmg [--against DIR] [--link-files=tree|all|none]
//     Checks the image (UDIF layer and HFS+ volume) and prints one line per
//     finding ("ERROR: ..." or "WARNING: ...") and one summary line, all on
//     standard output. With --against, also checks that the volume holds
//     exactly what packaging DIR gives (with the same --link-files rule,
//     "tree" by default). Exit 0 when sound (warnings allowed),
//     1 when not, 2 when the file cannot be read as an image of an HFS+
//     volume at all (including chunk kinds, encryption or partition kinds
//     this program does not read).
//   volpack list IMAGE.dmg
//     One line per item: kind (d, f, l), permission bits, size, path, and
//     " -> target" for links. Exit 0, 1 when the volume has errors (the
//     listing is then what could be read), 2 as above.
//   volpack extract IMAGE.dmg DIR
//     Writes the volume's tree into DIR (created; it must not exist or be
//     empty): folders, data forks, symbolic links as links where the host
//     has them and as one-line link files where it does not. Names that
//     would leave DIR ("." and "..", a NUL) are refused. Exit 0, 1 on any
//     failure or refused name, 2 as above.
#pragma once

namespace volpack {

// True when argv[1] names one of the commands above.
bool is_inspect_command(int argc, char** argv);
int inspect_main(int argc, char** argv);

}  // namespace volpack
