// A decode program: a packet layout (fixed fields, variable-size fields, routing among
// containers, include conditions, repeats and arrays) flattened into a list of steps that one C++
// loop runs over every packet of a file. The XTCE layer compiles a definition into a program;
// this file holds the program's plain form, its validation and the loop that runs it.
//
// ## The machine
// Per packet the loop keeps
// - position registers P[0..positions): bit positions counted from the packet's first bit.
//   P[0] is 0 when the packet starts; every other one is set by a step (`seek`, `measure`).
// - value registers V[0..registers): decoded raw values, integers (any int64 or uint64 value)
//   or floats (binary64), written by field reads and `calc`. Arithmetic on integers is exact and
//   checked: a result outside [-2^63, 2^64) fails the packet, it never wraps.
// - the container reached: the last `container` step run (-1: none yet).
// Reading a register that no step of the current packet has written fails the packet ("unset"),
// so a packet never sees a value of another packet.
//
// Values leave the machine through output slots. Each slot is a column of values with, for each
// value, the index of its packet (its row): a field outside any loop gives at most one value per
// packet, a field in a repeat or array one per element, in the order the steps ran. A slot holds
// numbers of one element type (as `unpack_columns` gives them: the narrowest type for the
// encoding and width), spans (the absolute start bit in the data and the length in bits of a
// binary field), or text (a span whose bytes were checked in the slot's text encoding).
//
// A packet ends at the end of the steps, at `end`, or early: at `python` (the packet needs the
// Python layer, e.g. a criterion on a calibrated value) or at a failure (a field beyond the
// packet, a bad BCD digit, bad text, no terminator, a bad dynamic size, an ambiguous route, the
// step budget spent). Such a packet reports the step and the reason; none of its values stay in
// the slots, and every other packet is decoded as usual.
//
// ## Steps (the Python description's form, as `bitloom._program` reads it)
// A description is a dict: {"steps": [...], "registers": n, "positions": n (at least 1),
// "slots": [kind, ...], "containers": n, "budget": (base, per_byte)}; all but "steps" optional.
// Slot kinds: "u8" "u16" "u32" "u64" "i8" "i16" "i32" "i64" "f32" "f64", "span", and
// ("text", encoding) with a text encoding name of the reader. An operand is an int or float
// constant, ("reg", k) the value of V[k], ("pos", k) the position P[k], or ("size",) the
// packet's size in bits. A condition is (op, operand, operand) with op one of == != < <= > >=
// (integers and floats compare exactly), or ("and", cond, ...) / ("or", cond, ...).
//
//   ("fields", at, [(offset, bits, encoding, slot, register[, options]), ...])
//       Fixed-size fields at P[at] + offset bits, every one of the block checked to lie inside
//       the packet at once. `encoding` is a reader encoding name (as in a recipe) or "raw" (the
//       bits as a span). `slot` and `register` are indices or None: the value goes to either or
//       both. Options, a dict: "byte_order" ("big"/"little"), "reverse_bits" (bool), "count"
//       and "stride" (count elements, each stride bits after the previous: a fixed-size array
//       into one slot, packet by packet; count > 1 takes no register).
//   ("measure", at, offset, form, size, slot, end)
//       A field of variable size at P[at] + offset. `form`: ("plain",), ("terminated",
//       terminator_bytes, unit_bytes[, max_bits]) or ("tagged", tag_bits, unit_bits[, max_bits])
//       (a big-endian count of units, then that many units). `size` is None (the form measures
//       the field), an int (bits), ("reg", k) (bits from V[k]) or ("reg", k, slope, offset)
//       (V[k] * slope + offset bits, integers). With a size, the terminator or tag lies inside
//       the field (no terminator found: the whole field is the content). The content goes to
//       `slot` (span or text), the field's end to P[end] (both may be None).
//   ("calc", dst, op, a, b)          V[dst] = a op b, op one of + - * // (floor division)
//   ("seek", dst, base, operand)     P[dst] = P[base] + operand bits
//   ("jump", target)                 go to step `target` (the step count ends the packet)
//   ("if", cond, else_target)        go on when cond holds, else go to else_target
//   ("loop", reg, exit_target)       V[reg] <= 0: go to exit_target (< 0 fails); else V[reg] -= 1
//   ("route", "unique"|"first", [(cond, target), ...])
//       go to the target of the route whose condition holds; none: go on; "unique": more than
//       one fails the packet ("first": the first one is taken)
//   ("container", id)                the packet has reached container `id`
//   ("emit", slot, operand)          the operand's value into a number slot (out of its range fails)
//   ("span", slot, from_pos, to_pos) the bits from P[from_pos] to P[to_pos] into a span slot
//   ("python",)  ("fail",)  ("end",)
//
// Loops are built from `loop` and `jump`: ("calc", r, "+", count, 0), then at the head
// ("loop", r, after), the body, ("jump", head). The budget bounds the work and the values per
// packet: a packet may run base + per_byte * its size in bytes steps, each element a block
// reads counting as one more (default 4096 + 64 per byte), so a program whose jumps loop
// forever fails its packets instead of hanging.
//
// ## Speed
// Each step's handler ends in its own jump to the next step's handler (the steps end in a
// sentinel End, so no bound is checked). A route whose routes test registers for equality with
// constants (the usual restriction criteria) is one lookup in a table built at validation. A
// block of fields with several values to keep and no other writer of their slots is not decoded
// while the packet is walked: its start is noted, and after a batch of packets each field is
// decoded over all the noted starts by the column loop's kernel for it (columns.hpp). Fields
// that write a register, and small blocks, are decoded at once (plain integers inline). After
// the first batch each slot gets room for the whole share, in one arena of huge pages populated
// at once; the arrays are handed to the caller without a copy. Per packet nothing is allocated.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

#include "codec.hpp"
#include "columns.hpp"
#include "unpack_encoding.hpp"

namespace bitloom::program {

__extension__ typedef __int128 i128;

/// Why a packet was not decoded. `reason_name` gives each its text.
enum class Reason : std::uint8_t {
    Ok,            // decoded
    NeedsPython,   // a `python` step: the packet is decoded in Python
    NoPacket,      // the packet's offset or size lies beyond the data
    OutOfPacket,   // a field or position lies outside the packet
    BadValue,      // a codec refused a field's bits, or an emitted value does not fit its slot
    BadText,       // a text field's bytes are not valid in its encoding
    NoTerminator,  // no terminator before the limit of a terminated field
    NotAligned,    // a terminated field does not start on a byte boundary
    BadSize,       // a size, count or position is negative, fractional or passes 64 bits
    Unset,         // a register or position read before a step of this packet set it
    Ambiguous,     // more than one route of a "unique" route step holds
    Budget,        // the packet ran out of steps
    Failed,        // a `fail` step
};
inline constexpr std::size_t kReasonCount = 13;
const char* reason_name(Reason reason) noexcept;

/// The slots' kinds: numbers of a column element type, spans, or text spans.
enum class SlotKind : std::uint8_t { Number, Span, Text };
struct Slot {
    SlotKind kind = SlotKind::Number;
    columns::Element element = columns::Element::U8;  // Number
    UnpackEncoding text = UnpackEncoding::Utf8;        // Text
};

struct Operand {
    enum class Kind : std::uint8_t { Int, Float, Register, Position, Size };
    Kind kind = Kind::Int;
    std::uint32_t index = 0;  // Register, Position
    i128 integer = 0;         // Int: an int64 or uint64 value
    double real = 0;          // Float
};

struct FieldRead {
    std::int64_t offset = 0;  // bits after P[at]
    std::uint32_t bits = 0;
    UnpackEncoding encoding = UnpackEncoding::Unsigned;
    bool raw = false;  // the bits as a span; `encoding` is not used
    bool little = false;
    bool reverse = false;
    std::uint32_t count = 1;  // elements, each `stride` bits after the previous
    std::uint64_t stride = 0;
    std::int32_t slot = -1;      // -1: none
    std::int32_t register_ = -1;  // -1: none
};

struct Fields {
    std::uint32_t at = 0;
    std::vector<FieldRead> fields;
};

enum class Form : std::uint8_t { Plain, Terminated, Tagged };
enum class SizeFrom : std::uint8_t { Form, Fixed, Register };

struct Measure {
    std::uint32_t at = 0;
    std::int64_t offset = 0;
    Form form = Form::Plain;
    std::uint8_t terminator[8] = {};
    std::uint8_t terminator_size = 0;  // 1..8
    std::uint8_t unit = 1;             // terminated: the terminator lies on a multiple of unit bytes
    std::uint8_t tag_bits = 0;         // tagged: 1..64
    std::uint32_t tag_unit = 8;        // tagged: bits per counted unit, 1..2^16
    std::uint64_t max_bits = UINT64_MAX;  // a measured field takes at most this many bits
    SizeFrom size_from = SizeFrom::Form;
    std::uint64_t size = 0;         // Fixed: bits; Register: the register
    std::int64_t size_slope = 1, size_offset = 0;  // Register: bits = V[size] * slope + offset
    std::int32_t slot = -1;         // a Span or Text slot, -1: none
    std::int32_t end = -1;          // a position register, -1: none
};

enum class Compare : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };

/// A condition tree, its nodes in one list: a node's children come before it.
struct Condition {
    enum class Kind : std::uint8_t { Compare, All, Any };
    Kind kind = Kind::Compare;
    Compare op = Compare::Eq;
    Operand lhs, rhs;
    std::uint32_t first = 0, count = 0;  // All/Any: children[first .. first + count)
};

struct Route {
    std::uint32_t condition = 0;  // its root node
    std::uint32_t target = 0;
};

enum class Op : std::uint8_t {
    Fields, Measure, Calc, Seek, Jump, If, Loop, Route, Container, Emit, Span, Python, Fail, End,
};
enum class Arith : std::uint8_t { Add, Sub, Mul, FloorDiv };

/// One step. Which members count depends on the op:
/// Fields, Measure: `table` indexes `fields` / `measures` (each entry used by one step).
/// Calc: V[a] = x arith y. Seek: P[a] = P[b] + x. Jump: a = target. If: a = condition,
/// b = else target. Loop: a = register, b = exit target. Route: routes[table .. table + a),
/// `unique`. Container: a = id. Emit: slot a, value x. Span: slot a, from P[b] to P[c].
struct Step {
    Op op = Op::End;
    Arith arith = Arith::Add;
    bool unique = true;
    std::uint32_t a = 0, b = 0, c = 0;
    std::uint32_t table = 0;
    Operand x, y;
};

struct Program {
    std::uint32_t registers = 0;
    std::uint32_t positions = 1;
    std::uint32_t containers = 0;
    std::vector<Slot> slots;
    std::vector<Step> steps;
    std::vector<Fields> fields;
    std::vector<Measure> measures;
    std::vector<Condition> conditions;
    std::vector<std::uint32_t> children;  // condition node indices for All/Any
    std::vector<Route> routes;
    std::uint64_t budget_base = 4096;
    std::uint64_t budget_per_byte = 64;
};

// Limits that keep a valid program's state small and its arithmetic within 64 bits.
inline constexpr std::uint32_t kMaxRegisters = 1u << 16;
inline constexpr std::uint32_t kMaxPositions = 1u << 16;
inline constexpr std::uint32_t kMaxSlots = 1u << 20;
inline constexpr std::uint32_t kMaxSteps = 1u << 24;
inline constexpr std::uint32_t kMaxConditionDepth = 32;
inline constexpr std::uint64_t kMaxBudget = std::uint64_t{1} << 40;

struct Checked;

/// A validated program, immutable and safe to share between threads.
class Valid {
public:
    const Program& program() const noexcept;
    const Slot& slot(std::size_t k) const noexcept { return program().slots[k]; }
    std::size_t slot_count() const noexcept { return program().slots.size(); }
    /// Bytes per value in `SlotValues::values` of slot k: the element size, 8 for spans.
    std::size_t value_size(std::size_t k) const noexcept;
    const Checked& checked() const noexcept { return *checked_; }

private:
    friend Result<Valid> validate(Program program);
    std::shared_ptr<const Checked> checked_;
};

/// Checks every index, target, width, encoding and limit; refuses a program that could read
/// outside the data or its own state with a ValueError naming the step and the fault.
Result<Valid> validate(Program program);

/// Where the packets lie: packet i starts at byte offsets[i] of the data and has sizes[i]
/// bytes (no sizes: it runs to the end of the data).
struct Input {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const std::uint64_t* offsets = nullptr;
    const std::uint64_t* sizes = nullptr;
    std::size_t count = 0;
};

/// Per packet: the container reached (-1: none), why it was not decoded (Ok: it was), and the
/// step where it stopped (-1 when decoded). Arrays of `count` elements, owned by the caller.
struct Status {
    std::int32_t* container = nullptr;
    std::uint8_t* reason = nullptr;
    std::int32_t* step = nullptr;
};

/// One block of memory for the slots of a run, sized once the first batch of each share showed
/// how much each slot takes: mapped in huge pages where the system has them, and populated a
/// region at a time (by the thread that fills it), which costs a fraction of faulting a page
/// at a time. Slices of it are handed out and never freed one by one; the block goes with the
/// Arena.
class Arena {
public:
    /// Throws std::bad_alloc.
    explicit Arena(std::size_t size);
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();
    /// `bytes` bytes aligned to 64, or null when the block is used up.
    void* take(std::size_t bytes) noexcept;
    /// Makes the pages of [at, at + bytes) present, ready to be written.
    void populate(void* at, std::size_t bytes) const noexcept;

private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0, used_ = 0;
    bool mapped_ = false;
};

/// A growable array of plain values whose new room stays unset until it is written. Its storage
/// comes from malloc and grows by realloc (large blocks move without a copy), or lies in an
/// Arena (`adopt`) until it outgrows it; it can be handed over whole (`release`).
template <class T>
class Growing {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Growing() noexcept = default;
    Growing(const Growing&) = delete;
    Growing& operator=(const Growing&) = delete;
    Growing(Growing&& other) noexcept { *this = std::move(other); }
    Growing& operator=(Growing&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(owned_, other.owned_);
        return *this;
    }
    ~Growing() {
        if (owned_) std::free(data_);
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    /// False while the storage is an Arena's slice.
    bool owned() const noexcept { return owned_; }
    /// `n` more elements, unset: returns the first of them. Throws std::bad_alloc.
    T* extend(std::size_t n) {
        if (n > capacity_ - size_) grow(size_ + n);
        T* first = data_ + size_;
        size_ += n;
        return first;
    }
    void push_back(T value) { *extend(1) = value; }
    /// `n` more elements where the caller made room.
    T* extend_in_place(std::size_t n) noexcept {
        T* first = data_ + size_;
        size_ += n;
        return first;
    }
    void pop_back() noexcept { --size_; }
    void truncate(std::size_t n) noexcept { size_ = n; }
    void clear() noexcept { size_ = 0; }
    /// Room for `n` elements in all.
    void reserve(std::size_t n) {
        if (n > capacity_) resize_storage(n);
    }
    /// Moves the elements into `storage` (room for `capacity`, at least the size), which the
    /// caller keeps alive: an Arena's slice.
    void adopt(T* storage, std::size_t capacity) noexcept {
        if (storage == data_) {
            capacity_ = capacity;
            return;
        }
        if (size_) std::memcpy(storage, data_, size_ * sizeof(T));
        if (owned_) std::free(data_);
        data_ = storage;
        capacity_ = capacity;
        owned_ = false;
    }
    /// The storage, and whether the caller is to free() it (else it lies in an Arena); the
    /// array is empty after.
    std::pair<T*, bool> release() noexcept {
        const std::pair<T*, bool> out{data_, owned_};
        data_ = nullptr;
        size_ = capacity_ = 0;
        owned_ = true;
        return out;
    }

private:
    void grow(std::size_t needed) {
        if (needed < size_ || needed > SIZE_MAX / sizeof(T) / 2) throw std::bad_alloc();
        resize_storage(std::max<std::size_t>({needed, capacity_ * 2, 16}));
    }
    void resize_storage(std::size_t capacity) {
        void* fresh = owned_ ? std::realloc(data_, capacity * sizeof(T)) : std::malloc(capacity * sizeof(T));
        if (!fresh) throw std::bad_alloc();
        if (!owned_ && size_) std::memcpy(fresh, data_, size_ * sizeof(T));
        data_ = static_cast<T*>(fresh);
        capacity_ = capacity;
        owned_ = true;
    }
    T* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
    bool owned_ = true;
};

/// One slot's values from a run over a contiguous share of the packets. Spans keep their start
/// bits (absolute, in the data) in `values` as uint64 and their lengths in bits in `lengths`.
/// The arrays grow together: room for a row is room for its value (`make_room`).
struct SlotValues {
    Growing<std::uint8_t> values;
    Growing<std::uint64_t> lengths;  // spans only
    Growing<std::uint32_t> rows;     // the packet index of each value

    /// Room for `n` more values of `size` bytes (and lengths, for spans) in every array.
    void make_room(std::size_t n, std::size_t size, bool spans) {
        if (n <= rows.capacity() - rows.size()) [[likely]]
            return;
        const std::size_t capacity = std::max<std::size_t>({rows.size() + n, rows.capacity() * 2, 16});
        if (capacity > SIZE_MAX / 16) throw std::bad_alloc();
        rows.reserve(capacity);
        values.reserve(capacity * size);
        if (spans) lengths.reserve(capacity);
    }
};

/// A share's output: each slot's values, for packets [first, last). Slot storage may lie in
/// the arena, which must outlive it. `run` returns one share for the whole run.
struct Share {
    std::size_t first = 0, last = 0;
    std::unique_ptr<Arena> arena;
    std::vector<SlotValues> slots;
};

/// At most this many packets per run: packet indices are 32-bit.
inline constexpr std::size_t kMaxPackets = UINT32_MAX;

/// Runs the program over every packet, split into up to `threads` contiguous shares (one per
/// thread, the calling thread taking the first), and puts the shares' values together in packet
/// order: one Share comes back. Throws std::bad_alloc when the outputs do not fit in memory.
/// `count` must not pass kMaxPackets.
Share run(const Valid& program, const Input& input, const Status& status, unsigned threads);

}  // namespace bitloom::program
