#pragma once
// The PNG encoder behind every capture the app stores or copies. Written for
// speed on large screenshots: rows are filtered and deflated in strips on all
// cores, and the strips are joined into one zlib stream (as pigz does).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nimbo::png {

enum class Filter : uint8_t {
  none = 0, sub = 1, up = 2, average = 3, paeth = 4,
  adaptive = 5,  // each row with the filter that suits it (not a PNG filter type)
};

// How the filtered rows are deflated.
enum class Strategy : uint8_t {
  lz,         // zlib's LZ77 matching at `level`
  rle,        // zlib's run matching only (Z_RLE)
  huffman,    // no matching: every byte its own Huffman code (coded here, not by zlib)
  automatic,  // per band of rows: huffman for photographic bands, `interfaceStrategy` for the rest
  fast,       // greedy LZ77 coded here: one hash probe and the row above, codes fitted per band
};

// Defaults chosen with bench/png_varied.sh and bench/png_tune on real screens
// (terminal, editor, document, photograph, dark interface, spreadsheet).
// Interface content: the Up filter with zlib's fastest LZ77 level lands within
// 5-11% of libpng's adaptive filters at level 2 (what scrot writes) for a
// fifth of the instructions. Run matching alone (rle) loses glyph repeats:
// text screens came out up to twice as big. Photographs: LZ77 finds almost
// nothing to match and still costs zlib about 100 instructions a byte; the
// Paeth filter with Huffman coding alone comes out 25% smaller (below
// scrot's file) for about a quarter of the whole encoder's work. `automatic`
// tells the two apart per band of rows by how many bytes repeat their
// neighbour above or on the left and how many pixel pairs recur along a row;
// the thresholds leave every interface band of the test screens with LZ77
// and every photographic one with Huffman codes (the 3840x2160 photograph,
// scaled up, repeats 75-80% of its bytes next door; a spreadsheet's text
// about 85%).
// Interface bands are then coded by our own greedy LZ77 (`fast`) rather than
// zlib: one hash probe for the pixel at hand, the row above and the byte
// before, with codes fitted per band. On the kept screens it is 4-20%
// smaller than zlib at level 1 (below scrot's files but on the spreadsheet,
// 3% over) for a quarter of the time: 5.5 ms instead of 21 ms a 1920x1080
// screen of text on one core, 18 ms instead of 75 ms at 3840x2160.
// Interface rows take the filter whose residuals are smallest (`adaptive`)
// rather than always Up: 2-8% smaller on text and tables, and a fifth
// smaller on smooth gradients (an abstract wallpaper at 1080p was 1.22x
// scrot's file with Up, 0.96x now). Its four filters are weighed in one
// vectorised pass that skips flat colour, for 0.5-1.6 ms a 1080p screen
// on one core.
struct Options {
  Filter filter = Filter::adaptive;     // lz, rle and huffman; interface bands of automatic
  Filter photoFilter = Filter::paeth;   // photographic bands of automatic
  int level = 1;                        // zlib level
  Strategy strategy = Strategy::automatic;
  Strategy interfaceStrategy = Strategy::fast;  // automatic: fast, lz or rle for interface bands
  // automatic: a band is photographic when fewer than this share of its
  // bytes (in 1/256) equal the byte above or the one on the left.
  int photoBelow = 208;
  // ... and when fewer than this share of the pixel pairs in a row sampled
  // from the band (in 1/256) occur earlier in that row.
  int photoMatchesBelow = 64;
  int threads = 0;                      // 0: one strip per core
};

// `pixels` are 32-bit B G R A in memory (Qt's ARGB32 / RGB32 on little-endian
// machines), non-premultiplied. With `opaque` the alpha byte is ignored and
// an RGB PNG is written; otherwise RGBA.
std::vector<uint8_t> encode(const uint8_t* pixels, int width, int height, int stride,
                            bool opaque, const Options& options = {});

// The same, for pixels still arriving top to bottom: a row is read only once
// `rowsReady` exceeds its index. The producer raises it and calls
// notify_all() after each band.
std::vector<uint8_t> encode(const uint8_t* pixels, int width, int height, int stride,
                            bool opaque, const Options& options,
                            const std::atomic<int>* rowsReady);

// The coder's parts, for tests and the fuzz target.
namespace detail {
// Huffman code lengths for `n` symbols (at most 286) from their counts, none
// longer than `maxBits`; unused symbols get 0.
void huffmanLengths(const uint32_t* counts, int n, int maxBits, uint8_t* lengths);
// A zlib stream of `n` bytes from the writer's greedy LZ77 coder, cut into
// blocks of `bandBytes`, with matches one `stride` back tried at every byte.
std::vector<uint8_t> zlibFast(const uint8_t* data, size_t n, size_t stride, size_t bandBytes);
}  // namespace detail

}  // namespace nimbo::png
