// The one table of the errno values the mount answers with.
#pragma once

#include "movies/movie_catalog.h"

namespace vemcli::mount {

// Why a request is refused; errnoOf gives what the program that asked sees.
enum class Refusal {
    NoEntry,         // no such movie, or a name the folder does not hold
    NotFolder,       // a path below a movie
    ReadOnly,        // anything that would write, other than rm
    DeleteRefused,   // rm without --allow-delete
    StreamDelete,    // rm NAME:info: the stream goes only with its movie
    Io,              // the drive could not give or do what was asked
    BadOffset,       // a negative offset
    BufferTooSmall,  // an attribute larger than the caller's buffer
    NoAttribute,     // an extended attribute the file does not have
};

int errnoOf(Refusal refusal);

// A failure of the movie layer as the mount reports it. `byName`: the request named the movie
// (open, rm), so a movie that is not there is missing; a movie that left the drive while open
// reads as EIO (an open file cannot answer "no such file").
Refusal refusalOf(zel::vem::MovieFailure failure, bool byName);

}  // namespace vemcli::mount
