#pragma once
// DWARF call-frame information: LEB128 and pointer-encoding decoding, CIE and FDE parsing,
// the search for the FDE that covers a pc, the register-rule table (CFA program) and the
// expression machine. Templates are instantiated for 32- and 64-bit machine words.
// Everything is fixed-size and runs on the crash path.
#include "crashreporter/mobject.hpp"
#include "crashreporter/thread_state.hpp"

namespace lvcrash {

lvcrash_error_t lvcrash_async_dwarf_read_uleb128(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location,
                                                 lvcrash_vm_off_t offset, std::uint64_t* value, std::size_t* size);
lvcrash_error_t lvcrash_async_dwarf_read_sleb128(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location,
                                                 lvcrash_vm_off_t offset, std::int64_t* value, std::size_t* size);
lvcrash_error_t lvcrash_async_dwarf_read_task_uleb128(task_t task, lvcrash_vm_address_t location,
                                                      lvcrash_vm_off_t offset, std::uint64_t* value, std::size_t* size);
lvcrash_error_t lvcrash_async_dwarf_read_task_sleb128(task_t task, lvcrash_vm_address_t location,
                                                      lvcrash_vm_off_t offset, std::int64_t* value, std::size_t* size);

// A bounded reader over [start, end) of a memory object (target addresses).
struct lvcrash_async_dwarf_opstream {
    const lvcrash_async_mobject* mobj;
    const RDlvcrash_async_byteorder* byteorder;
    lvcrash_vm_address_t start;
    lvcrash_vm_address_t end;
    lvcrash_vm_address_t position;
};

lvcrash_error_t lvcrash_async_dwarf_opstream_init(lvcrash_async_dwarf_opstream* stream,
                                                  const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  lvcrash_vm_off_t length);

struct lvcrash_async_dwarf_cie_info {
    std::uint64_t cie_offset;
    std::uint64_t cie_length;
    std::uint64_t cie_id;
    std::uint8_t cie_version;
    std::uint8_t address_size;
    std::uint8_t segment_size;
    std::uint64_t code_alignment_factor;
    std::int64_t data_alignment_factor;
    std::uint64_t return_address_register;
    bool has_eh_augmentation;
    struct {
        bool has_lsda_encoding;
        std::uint8_t lsda_encoding;
        bool has_personality_address;
        std::uint64_t personality_address;
        bool has_pointer_encoding;
        std::uint8_t pointer_encoding;
        bool signal_frame;
    } eh_augmentation;
    std::uint64_t initial_instructions_offset;
    std::uint64_t initial_instructions_length;
};

struct lvcrash_async_dwarf_fde_info {
    std::uint64_t fde_offset;
    std::uint64_t fde_length;
    std::uint64_t cie_offset;
    std::uint64_t pc_start;
    std::uint64_t pc_end;
    std::uint64_t instructions_offset;
    std::uint64_t instructions_length;
};

struct lvcrash_async_dwarf_frame_reader {
    const lvcrash_async_mobject* mobj;
    const RDlvcrash_async_byteorder* byteorder;
    bool m64;
    bool debug_frame;
};

namespace RD::async {

enum DW_EH_PE : std::uint8_t {
    DW_EH_PE_absptr = 0x00,
    DW_EH_PE_uleb128 = 0x01,
    DW_EH_PE_udata2 = 0x02,
    DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04,
    DW_EH_PE_sleb128 = 0x09,
    DW_EH_PE_sdata2 = 0x0A,
    DW_EH_PE_sdata4 = 0x0B,
    DW_EH_PE_sdata8 = 0x0C,
    DW_EH_PE_pcrel = 0x10,
    DW_EH_PE_textrel = 0x20,
    DW_EH_PE_datarel = 0x30,
    DW_EH_PE_funcrel = 0x40,
    DW_EH_PE_aligned = 0x50,
    DW_EH_PE_indirect = 0x80,
    DW_EH_PE_omit = 0xFF,
};

template <typename T>
class gnu_ehptr_reader {
public:
    explicit gnu_ehptr_reader(const RDlvcrash_async_byteorder* byteorder) : byteorder_(byteorder) {}
    // In our snapshots a location is the target address itself, so the frame section's base and
    // target address coincide; both are kept for the aligned form.
    void set_frame_section_base(lvcrash_vm_address_t base, lvcrash_vm_address_t target) {
        frame_base_ = base;
        frame_target_ = target;
        has_frame_ = true;
    }
    void set_text_base(lvcrash_vm_address_t base) { text_base_ = base, has_text_ = true; }
    void set_data_base(lvcrash_vm_address_t base) { data_base_ = base, has_data_ = true; }
    void set_func_base(lvcrash_vm_address_t base) { func_base_ = base, has_func_ = true; }
    lvcrash_error_t read(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location, lvcrash_vm_off_t offset,
                         std::uint8_t encoding, T* result, std::size_t* size) const;

private:
    const RDlvcrash_async_byteorder* byteorder_;
    lvcrash_vm_address_t frame_base_ = 0, frame_target_ = 0, text_base_ = 0, data_base_ = 0, func_base_ = 0;
    bool has_frame_ = false, has_text_ = false, has_data_ = false, has_func_ = false;
};

template <typename T>
lvcrash_error_t lvcrash_async_dwarf_cie_info_init(lvcrash_async_dwarf_cie_info* info, const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<T>* ptr_reader, lvcrash_vm_address_t address);
// The FDE at address; its CIE is read from cie_mobj (the same object when the whole section is
// mapped). section_base is the section's target address (offsets are taken from it).
template <typename T>
lvcrash_error_t lvcrash_async_dwarf_fde_info_init(lvcrash_async_dwarf_fde_info* info, const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, bool debug_frame);
template <typename T>
lvcrash_error_t lvcrash_async_dwarf_fde_info_init_split(lvcrash_async_dwarf_fde_info* info,
                                                        const lvcrash_async_mobject* mobj,
                                                        const lvcrash_async_mobject* cie_mobj,
                                                        lvcrash_vm_address_t section_base,
                                                        const RDlvcrash_async_byteorder* byteorder,
                                                        lvcrash_vm_address_t address, bool debug_frame);

enum lvcrash_dwarf_cfa_reg_rule_t : std::uint32_t {
    DW_CFA_STATE_REG_RULE_OFFSET = 0,
    DW_CFA_STATE_REG_RULE_VAL_OFFSET = 1,
    DW_CFA_STATE_REG_RULE_REGISTER = 2,
    DW_CFA_STATE_REG_RULE_EXPRESSION = 3,
    DW_CFA_STATE_REG_RULE_VAL_EXPRESSION = 4,
    DW_CFA_STATE_REG_RULE_SAME_VALUE = 5,
    // The return-address register made undefined: the frame has no caller (the outermost frame).
    DW_CFA_STATE_REG_RULE_UNDEFINED_RETURN = 6,
};

enum lvcrash_dwarf_cfa_rule_type : std::uint32_t {
    DW_CFA_RULE_TYPE_UNDEFINED = 0,
    DW_CFA_RULE_TYPE_EXPRESSION = 1,
    DW_CFA_RULE_TYPE_REGISTER = 2,
    DW_CFA_RULE_TYPE_REGISTER_SIGNED = 3,
};

template <typename T>
struct dwarf_cfa_rule {
    lvcrash_dwarf_cfa_rule_type type;
    std::uint32_t regnum;
    T offset;                         // register kinds (signed kind: stored as the signed value)
    lvcrash_vm_address_t expression;  // expression kind: target address of its bytes
    std::uint64_t length;
};

inline constexpr std::uint8_t DWARF_CFA_STATE_MAX_STATES = 6;
inline constexpr std::uint8_t DWARF_CFA_STATE_BUCKET_COUNT = 14;
inline constexpr std::uint8_t DWARF_CFA_STATE_MAX_REGISTERS = 100;
inline constexpr std::uint8_t DWARF_CFA_STATE_INVALID_ENTRY_IDX = 0xFF;

template <typename T, typename S>
class dwarf_cfa_state {
public:
    dwarf_cfa_state();
    bool set_register(std::uint32_t regnum, lvcrash_dwarf_cfa_reg_rule_t rule, T value);
    bool get_register_rule(std::uint32_t regnum, lvcrash_dwarf_cfa_reg_rule_t* rule, T* value) const;
    void remove_register(std::uint32_t regnum);
    std::uint8_t get_register_count() const { return register_count_[level_]; }
    void set_cfa_register(std::uint32_t regnum, T offset);
    void set_cfa_register_signed(std::uint32_t regnum, S offset);
    void set_cfa_expression(lvcrash_vm_address_t address, std::uint64_t length);
    dwarf_cfa_rule<T> get_cfa_rule() const { return cfa_[level_]; }
    bool push_state();
    bool pop_state();

    lvcrash_error_t eval_program(const lvcrash_async_mobject* mobj, T pc, T initial_pc_value,
                                 const lvcrash_async_dwarf_cie_info* cie_info, const gnu_ehptr_reader<T>* ptr_reader,
                                 const RDlvcrash_async_byteorder* byteorder, lvcrash_vm_address_t address,
                                 lvcrash_vm_off_t offset, lvcrash_vm_off_t length);
    lvcrash_error_t apply_state(task_t task, const lvcrash_async_dwarf_cie_info* cie_info,
                                const lvcrash_async_thread_state* thread_state,
                                const RDlvcrash_async_byteorder* byteorder,
                                lvcrash_async_thread_state* new_thread_state);

    template <typename, typename>
    friend class dwarf_cfa_state_iterator;

private:
    struct entry {
        std::uint64_t value;
        std::uint32_t regnum;
        std::uint32_t rule;
        std::uint8_t next;
    };
    bool copy_level_into(dwarf_cfa_state* other) const;

    dwarf_cfa_rule<T> cfa_[DWARF_CFA_STATE_MAX_STATES];
    std::uint8_t register_count_[DWARF_CFA_STATE_MAX_STATES];
    std::uint8_t buckets_[DWARF_CFA_STATE_MAX_STATES][DWARF_CFA_STATE_BUCKET_COUNT];
    std::uint8_t level_;
    std::uint8_t free_list_;
    entry entries_[DWARF_CFA_STATE_MAX_REGISTERS];
};

template <typename T, typename S>
class dwarf_cfa_state_iterator {
public:
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<T, S>* state) : state_(state) {}
    bool next(std::uint32_t* regnum, lvcrash_dwarf_cfa_reg_rule_t* rule, T* value);

private:
    const dwarf_cfa_state<T, S>* state_;
    std::uint8_t bucket_ = 0;
    std::uint8_t entry_ = DWARF_CFA_STATE_INVALID_ENTRY_IDX;
};

template <typename T, typename S>
lvcrash_error_t lvcrash_async_dwarf_expression_eval(const lvcrash_async_mobject* mobj, task_t task,
                                                    const lvcrash_async_thread_state* thread_state,
                                                    const RDlvcrash_async_byteorder* byteorder,
                                                    lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                    lvcrash_vm_off_t length, const T* initial_stack,
                                                    std::size_t initial_count, T* result);

}  // namespace RD::async

lvcrash_error_t lvcrash_async_dwarf_frame_reader_init(lvcrash_async_dwarf_frame_reader* reader,
                                                      const lvcrash_async_mobject* mobj,
                                                      const RDlvcrash_async_byteorder* byteorder, bool m64,
                                                      bool debug_frame);
lvcrash_error_t lvcrash_async_dwarf_frame_reader_find_fde(const lvcrash_async_dwarf_frame_reader* reader,
                                                          lvcrash_vm_off_t offset, lvcrash_vm_address_t pc,
                                                          lvcrash_async_dwarf_fde_info* fde_info);
void lvcrash_async_dwarf_cie_info_free(lvcrash_async_dwarf_cie_info* info);
inline std::uint64_t lvcrash_async_dwarf_cie_info_initial_instructions_offset(const lvcrash_async_dwarf_cie_info* info) {
    return info->initial_instructions_offset;
}
inline std::uint64_t lvcrash_async_dwarf_cie_info_initial_instructions_length(const lvcrash_async_dwarf_cie_info* info) {
    return info->initial_instructions_length;
}
inline std::uint64_t lvcrash_async_dwarf_fde_info_instructions_offset(const lvcrash_async_dwarf_fde_info* info) {
    return info->instructions_offset;
}
inline std::uint64_t lvcrash_async_dwarf_fde_info_instructions_length(const lvcrash_async_dwarf_fde_info* info) {
    return info->instructions_length;
}
void lvcrash_async_dwarf_fde_info_free(lvcrash_async_dwarf_fde_info* info);

// A memory object over a copy of [address, address + length) in the caller's buffer: one read,
// no mapping. false when it doesn't fit or can't be read. Such an object is not freed.
bool lvcrash_async_mobject_local_copy(lvcrash_async_mobject* mobj, task_t task, lvcrash_vm_address_t address,
                                      lvcrash_vm_size_t length, void* buffer, std::size_t capacity);

// ELF: the FDE covering pc by binary search of the `.eh_frame_hdr` table at hdr_address
// (datarel base = the header). fde_address is its target address; eh_frame is the start of
// `.eh_frame` the header names (offsets are taken from it).
lvcrash_error_t lvcrash_async_dwarf_eh_frame_hdr_search(task_t task, lvcrash_vm_address_t hdr_address,
                                                        lvcrash_vm_size_t hdr_size, lvcrash_vm_address_t pc,
                                                        lvcrash_vm_address_t* fde_address,
                                                        lvcrash_vm_address_t* eh_frame);

}  // namespace lvcrash
