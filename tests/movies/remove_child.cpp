// A client process that removes one movie through the movie layer: exit 0 when it went, 3 when
// it found no service to ask (nothing was removed), 1 with the reason on stderr otherwise.
// Concurrent removal tests start two at once.
#include <cstdio>

#include "movies/movie_catalog.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: movies_remove_child ENTRY\n");
        return 2;
    }
    try {
        zel::vem::MovieCatalog catalog;
        catalog.remove(argv[1]);
        return 0;
    } catch (const zel::vem::MovieError& e) {
        std::fprintf(stderr, "movies_remove_child: %s\n", e.what());
        return e.failure() == zel::vem::MovieFailure::NoDrive ? 3 : 1;
    }
}
