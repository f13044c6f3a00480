// The register-rule table of one row of the call-frame table, the CFA program that builds it,
// its application to a frame, and the expression machine.
#include "crashreporter/dwarf.hpp"
#include "crashreporter/dwarf_opstream_reader.hpp"

namespace lvcrash::RD::async {

namespace {

constexpr std::uint8_t none = DWARF_CFA_STATE_INVALID_ENTRY_IDX;

using Ops = detail::OpStreamReader;

#define TRY(expr)                                            \
    do {                                                     \
        const lvcrash_error_t try_err_ = (expr);             \
        if (try_err_ != LVCRASH_ERROR_NONE) return try_err_; \
    } while (0)

}  // namespace

// ---- Rule table ----

template <typename T, typename S>
dwarf_cfa_state<T, S>::dwarf_cfa_state() {
    lvcrash_async_memset(cfa_, 0, sizeof cfa_);
    lvcrash_async_memset(register_count_, 0, sizeof register_count_);
    lvcrash_async_memset(buckets_, none, sizeof buckets_);
    level_ = 0;
    free_list_ = 0;
    for (std::uint8_t i = 0; i < DWARF_CFA_STATE_MAX_REGISTERS; ++i) {
        entries_[i] = entry{0, 0, 0, static_cast<std::uint8_t>(i + 1 < DWARF_CFA_STATE_MAX_REGISTERS ? i + 1 : none)};
    }
}

template <typename T, typename S>
bool dwarf_cfa_state<T, S>::set_register(std::uint32_t regnum, lvcrash_dwarf_cfa_reg_rule_t rule, T value) {
    std::uint8_t* bucket = &buckets_[level_][regnum % DWARF_CFA_STATE_BUCKET_COUNT];
    std::uint8_t* link = bucket;
    for (std::uint8_t i = *bucket; i != none; i = entries_[i].next) {
        if (entries_[i].regnum == regnum) {
            entries_[i].rule = rule;
            entries_[i].value = value;
            return true;
        }
        link = &entries_[i].next;
    }
    if (free_list_ == none) return false;
    const std::uint8_t taken = free_list_;
    free_list_ = entries_[taken].next;
    entries_[taken] = entry{value, regnum, rule, none};
    *link = taken;
    register_count_[level_]++;
    return true;
}

template <typename T, typename S>
bool dwarf_cfa_state<T, S>::get_register_rule(std::uint32_t regnum, lvcrash_dwarf_cfa_reg_rule_t* rule, T* value) const {
    for (std::uint8_t i = buckets_[level_][regnum % DWARF_CFA_STATE_BUCKET_COUNT]; i != none; i = entries_[i].next) {
        if (entries_[i].regnum == regnum) {
            *rule = static_cast<lvcrash_dwarf_cfa_reg_rule_t>(entries_[i].rule);
            *value = static_cast<T>(entries_[i].value);
            return true;
        }
    }
    return false;
}

template <typename T, typename S>
void dwarf_cfa_state<T, S>::remove_register(std::uint32_t regnum) {
    std::uint8_t* link = &buckets_[level_][regnum % DWARF_CFA_STATE_BUCKET_COUNT];
    while (*link != none) {
        const std::uint8_t i = *link;
        if (entries_[i].regnum == regnum) {
            *link = entries_[i].next;
            entries_[i].next = free_list_;
            free_list_ = i;
            register_count_[level_]--;
            return;
        }
        link = &entries_[i].next;
    }
}

template <typename T, typename S>
void dwarf_cfa_state<T, S>::set_cfa_register(std::uint32_t regnum, T offset) {
    cfa_[level_] = dwarf_cfa_rule<T>{DW_CFA_RULE_TYPE_REGISTER, regnum, offset, 0, 0};
}

template <typename T, typename S>
void dwarf_cfa_state<T, S>::set_cfa_register_signed(std::uint32_t regnum, S offset) {
    cfa_[level_] = dwarf_cfa_rule<T>{DW_CFA_RULE_TYPE_REGISTER_SIGNED, regnum, static_cast<T>(offset), 0, 0};
}

template <typename T, typename S>
void dwarf_cfa_state<T, S>::set_cfa_expression(lvcrash_vm_address_t address, std::uint64_t length) {
    cfa_[level_] = dwarf_cfa_rule<T>{DW_CFA_RULE_TYPE_EXPRESSION, 0, 0, address, length};
}

template <typename T, typename S>
bool dwarf_cfa_state<T, S>::copy_level_into(dwarf_cfa_state* other) const {
    dwarf_cfa_state_iterator<T, S> it(this);
    std::uint32_t regnum;
    lvcrash_dwarf_cfa_reg_rule_t rule;
    T value;
    while (it.next(&regnum, &rule, &value))
        if (!other->set_register(regnum, rule, value)) return false;
    other->cfa_[other->level_] = cfa_[level_];
    return true;
}

template <typename T, typename S>
bool dwarf_cfa_state<T, S>::push_state() {
    if (level_ + 1 >= DWARF_CFA_STATE_MAX_STATES) return false;
    const std::uint8_t from = level_;
    level_++;
    lvcrash_async_memset(buckets_[level_], none, sizeof buckets_[level_]);
    register_count_[level_] = 0;
    cfa_[level_] = cfa_[from];
    for (std::uint8_t b = 0; b < DWARF_CFA_STATE_BUCKET_COUNT; ++b) {
        for (std::uint8_t i = buckets_[from][b]; i != none; i = entries_[i].next) {
            if (!set_register(entries_[i].regnum, static_cast<lvcrash_dwarf_cfa_reg_rule_t>(entries_[i].rule),
                              static_cast<T>(entries_[i].value))) {
                // Give the partial copy back and stay where we were.
                pop_state();
                return false;
            }
        }
    }
    return true;
}

template <typename T, typename S>
bool dwarf_cfa_state<T, S>::pop_state() {
    if (level_ == 0) return false;
    for (std::uint8_t b = 0; b < DWARF_CFA_STATE_BUCKET_COUNT; ++b) {
        std::uint8_t i = buckets_[level_][b];
        while (i != none) {
            const std::uint8_t next = entries_[i].next;
            entries_[i].next = free_list_;
            free_list_ = i;
            i = next;
        }
        buckets_[level_][b] = none;
    }
    register_count_[level_] = 0;
    level_--;
    return true;
}

template <typename T, typename S>
bool dwarf_cfa_state_iterator<T, S>::next(std::uint32_t* regnum, lvcrash_dwarf_cfa_reg_rule_t* rule, T* value) {
    const auto& st = *state_;
    while (bucket_ < DWARF_CFA_STATE_BUCKET_COUNT) {
        entry_ = entry_ == none ? st.buckets_[st.level_][bucket_] : st.entries_[entry_].next;
        if (entry_ != none) {
            *regnum = st.entries_[entry_].regnum;
            *rule = static_cast<lvcrash_dwarf_cfa_reg_rule_t>(st.entries_[entry_].rule);
            *value = static_cast<T>(st.entries_[entry_].value);
            return true;
        }
        bucket_++;
    }
    return false;
}

// ---- CFA program ----

template <typename T, typename S>
lvcrash_error_t dwarf_cfa_state<T, S>::eval_program(const lvcrash_async_mobject* mobj, T pc, T initial_pc_value,
                                                    const lvcrash_async_dwarf_cie_info* cie_info,
                                                    const gnu_ehptr_reader<T>* ptr_reader,
                                                    const RDlvcrash_async_byteorder* byteorder,
                                                    lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                    lvcrash_vm_off_t length) {
    dwarf_cfa_state initial;
    if (!copy_level_into(&initial)) return LVCRASH_ERROR_NO_MEMORY;

    std::uint8_t set_loc_encoding = DW_EH_PE_absptr;
    if (cie_info->has_eh_augmentation && cie_info->eh_augmentation.has_pointer_encoding && ptr_reader)
        set_loc_encoding = cie_info->eh_augmentation.pointer_encoding;

    lvcrash_async_dwarf_opstream stream;
    TRY(lvcrash_async_dwarf_opstream_init(&stream, mobj, byteorder, address, offset, length));
    Ops ops{&stream};
    T location = initial_pc_value;
    const T code_align = static_cast<T>(cie_info->code_alignment_factor);
    const S data_align = static_cast<S>(cie_info->data_alignment_factor);
    if (pc != 0 && location > pc) return LVCRASH_ERROR_NONE;

    const auto restore = [&](std::uint32_t reg) {
        lvcrash_dwarf_cfa_reg_rule_t rule;
        T value;
        if (initial.get_register_rule(reg, &rule, &value)) {
            if (!set_register(reg, rule, value)) return LVCRASH_ERROR_NO_MEMORY;
        } else {
            remove_register(reg);
        }
        return LVCRASH_ERROR_NONE;
    };
    const auto needs_register_cfa = [&]() {
        const auto type = cfa_[level_].type;
        return type == DW_CFA_RULE_TYPE_REGISTER || type == DW_CFA_RULE_TYPE_REGISTER_SIGNED;
    };
    const auto set = [&](std::uint32_t reg, lvcrash_dwarf_cfa_reg_rule_t rule, T value) {
        return set_register(reg, rule, value) ? LVCRASH_ERROR_NONE : LVCRASH_ERROR_NO_MEMORY;
    };

    while (stream.position < stream.end) {
        std::uint8_t opcode;
        TRY(ops.u8(&opcode));
        const std::uint8_t high = opcode & 0xC0;
        const std::uint8_t low = opcode & 0x3F;
        std::uint32_t reg = 0, reg2 = 0;
        std::uint64_t u = 0;
        std::int64_t sv = 0;
        if (high == 0x40) {
            location = static_cast<T>(location + low * code_align);
        } else if (high == 0x80) {
            TRY(ops.uleb(&u));
            TRY(set(low, DW_CFA_STATE_REG_RULE_OFFSET, static_cast<T>(static_cast<S>(u) * data_align)));
        } else if (high == 0xC0) {
            TRY(restore(low));
        } else {
            switch (opcode) {
                case 0x00: break;
                case 0x01: {
                    if (cie_info->segment_size != 0) return LVCRASH_ERROR_NOT_SUPPORTED;
                    T value = 0;
                    std::size_t size = 0;
                    if (set_loc_encoding == DW_EH_PE_absptr || !ptr_reader) {
                        if (sizeof(T) == 8) {
                            std::uint64_t v;
                            TRY(ops.u64(&v));
                            value = static_cast<T>(v);
                        } else {
                            std::uint32_t v;
                            TRY(ops.u32(&v));
                            value = static_cast<T>(v);
                        }
                    } else {
                        TRY(ptr_reader->read(mobj, stream.position, 0, set_loc_encoding, &value, &size));
                        if (!ops.fits(size)) return LVCRASH_ERROR_INVALID_ARGUMENT;
                        stream.position += size;
                    }
                    location = value;
                    break;
                }
                case 0x02: {
                    std::uint8_t d;
                    TRY(ops.u8(&d));
                    location = static_cast<T>(location + d * code_align);
                    break;
                }
                case 0x03: {
                    std::uint16_t d;
                    TRY(ops.u16(&d));
                    location = static_cast<T>(location + d * code_align);
                    break;
                }
                case 0x04: {
                    std::uint32_t d;
                    TRY(ops.u32(&d));
                    location = static_cast<T>(location + d * code_align);
                    break;
                }
                case 0x05:
                    TRY(ops.reg(&reg));
                    TRY(ops.uleb(&u));
                    TRY(set(reg, DW_CFA_STATE_REG_RULE_OFFSET, static_cast<T>(static_cast<S>(u) * data_align)));
                    break;
                case 0x06:
                    TRY(ops.reg(&reg));
                    TRY(restore(reg));
                    break;
                case 0x07:
                    TRY(ops.reg(&reg));
                    // Without a mark, an undefined return address would fall back to the current
                    // one and repeat the outermost frame for ever.
                    if (reg == cie_info->return_address_register)
                        TRY(set(reg, DW_CFA_STATE_REG_RULE_UNDEFINED_RETURN, 0));
                    else
                        remove_register(reg);
                    break;
                case 0x08:
                    TRY(ops.reg(&reg));
                    TRY(set(reg, DW_CFA_STATE_REG_RULE_SAME_VALUE, 0));
                    break;
                case 0x09:
                    TRY(ops.reg(&reg));
                    TRY(ops.reg(&reg2));
                    TRY(set(reg, DW_CFA_STATE_REG_RULE_REGISTER, reg2));
                    break;
                case 0x0A:
                    if (!push_state()) return LVCRASH_ERROR_NO_MEMORY;
                    break;
                case 0x0B:
                    if (!pop_state()) return LVCRASH_ERROR_INVALID_ARGUMENT;
                    break;
                case 0x0C:
                    TRY(ops.reg(&reg));
                    TRY(ops.uleb(&u));
                    set_cfa_register(reg, static_cast<T>(u));
                    break;
                case 0x0D:
                    TRY(ops.reg(&reg));
                    if (!needs_register_cfa()) return LVCRASH_ERROR_INVALID_ARGUMENT;
                    cfa_[level_].regnum = reg;
                    break;
                case 0x0E:
                    TRY(ops.uleb(&u));
                    if (!needs_register_cfa()) return LVCRASH_ERROR_INVALID_ARGUMENT;
                    set_cfa_register(cfa_[level_].regnum, static_cast<T>(u));
                    break;
                case 0x0F:
                    TRY(ops.uleb(&u));
                    if (!ops.fits(u)) return LVCRASH_ERROR_INVALID_ARGUMENT;
                    set_cfa_expression(stream.position, u);
                    stream.position += u;
                    break;
                case 0x10:
                case 0x16: {
                    TRY(ops.reg(&reg));
                    const lvcrash_vm_address_t at = stream.position;
                    TRY(ops.uleb(&u));
                    if (!ops.fits(u)) return LVCRASH_ERROR_INVALID_ARGUMENT;
                    stream.position += u;
                    TRY(set(reg, opcode == 0x10 ? DW_CFA_STATE_REG_RULE_EXPRESSION : DW_CFA_STATE_REG_RULE_VAL_EXPRESSION,
                            static_cast<T>(at)));
                    break;
                }
                case 0x11:
                    TRY(ops.reg(&reg));
                    TRY(ops.sleb(&sv));
                    TRY(set(reg, DW_CFA_STATE_REG_RULE_OFFSET, static_cast<T>(static_cast<S>(sv) * data_align)));
                    break;
                case 0x12:
                    TRY(ops.reg(&reg));
                    TRY(ops.sleb(&sv));
                    set_cfa_register_signed(reg, static_cast<S>(sv) * data_align);
                    break;
                case 0x13:
                    TRY(ops.sleb(&sv));
                    if (!needs_register_cfa()) return LVCRASH_ERROR_INVALID_ARGUMENT;
                    set_cfa_register_signed(cfa_[level_].regnum, static_cast<S>(sv) * data_align);
                    break;
                case 0x14:
                    TRY(ops.reg(&reg));
                    TRY(ops.uleb(&u));
                    TRY(set(reg, DW_CFA_STATE_REG_RULE_VAL_OFFSET, static_cast<T>(static_cast<S>(u) * data_align)));
                    break;
                case 0x15:
                    TRY(ops.reg(&reg));
                    TRY(ops.sleb(&sv));
                    TRY(set(reg, DW_CFA_STATE_REG_RULE_VAL_OFFSET, static_cast<T>(static_cast<S>(sv) * data_align)));
                    break;
                case 0x2E:
                    // GNU_args_size: the outgoing argument area, for landing pads; no rule changes.
                    TRY(ops.uleb(&u));
                    break;
                default: return LVCRASH_ERROR_NOT_SUPPORTED;
            }
        }
        if (pc != 0 && location > pc) return LVCRASH_ERROR_NONE;
    }
    return LVCRASH_ERROR_NONE;
}

// ---- Applying a row ----

namespace {

template <typename T>
lvcrash_error_t read_word(task_t task, lvcrash_vm_address_t address, T* value) {
    return lvcrash_async_task_memcpy(task, address, 0, value, sizeof(T));
}

// Evaluates the expression whose bytes lie at [address, address + length) of the task.
template <typename T, typename S>
lvcrash_error_t eval_task_expression(task_t task, const lvcrash_async_thread_state* state,
                                     const RDlvcrash_async_byteorder* byteorder, lvcrash_vm_address_t address,
                                     std::uint64_t length, const T* initial, std::size_t count, T* result) {
    if (length == 0) {
        if (count == 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
        *result = initial[count - 1];
        return LVCRASH_ERROR_NONE;
    }
    lvcrash_async_mobject mobj;
    alignas(8) std::uint8_t copy[256];
    const bool local = lvcrash_async_mobject_local_copy(&mobj, task, address, length, copy, sizeof copy);
    if (!local) {
        const lvcrash_error_t mapped = lvcrash_async_mobject_init(&mobj, task, address, length, true);
        if (mapped != LVCRASH_ERROR_NONE) return mapped;
    }
    const lvcrash_error_t err = lvcrash_async_dwarf_expression_eval<T, S>(
        &mobj, task, state, byteorder, address, 0, static_cast<lvcrash_vm_off_t>(length), initial, count, result);
    if (!local) lvcrash_async_mobject_free(&mobj);
    return err;
}

}  // namespace

template <typename T, typename S>
lvcrash_error_t dwarf_cfa_state<T, S>::apply_state(task_t task, const lvcrash_async_dwarf_cie_info* cie_info,
                                                   const lvcrash_async_thread_state* thread_state,
                                                   const RDlvcrash_async_byteorder* byteorder,
                                                   lvcrash_async_thread_state* new_thread_state) {
    lvcrash_async_thread_state_copy(new_thread_state, thread_state);
    lvcrash_async_thread_state_clear_volatile_regs(new_thread_state);
    new_thread_state->frame_flags = 0;

    T cfa = 0;
    const dwarf_cfa_rule<T> rule = cfa_[level_];
    switch (rule.type) {
        case DW_CFA_RULE_TYPE_REGISTER:
        case DW_CFA_RULE_TYPE_REGISTER_SIGNED: {
            lvcrash_regnum_t reg;
            if (!lvcrash_async_thread_state_map_dwarf_to_reg(thread_state, rule.regnum, &reg))
                return LVCRASH_ERROR_NOT_SUPPORTED;
            if (!lvcrash_async_thread_state_has_reg(thread_state, reg)) return LVCRASH_ERROR_NOT_FOUND;
            cfa = static_cast<T>(lvcrash_async_thread_state_get_reg(thread_state, reg) + rule.offset);
            break;
        }
        case DW_CFA_RULE_TYPE_EXPRESSION:
            TRY((eval_task_expression<T, S>(task, thread_state, byteorder, rule.expression, rule.length, nullptr, 0, &cfa)));
            break;
        default: return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    lvcrash_async_thread_state_set_reg(new_thread_state, LVCRASH_REG_SP, cfa);

    lvcrash_regnum_t ra_generic = 0;
    const bool ra_maps =
        lvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie_info->return_address_register, &ra_generic);

    dwarf_cfa_state_iterator<T, S> it(this);
    std::uint32_t dwarf_reg;
    lvcrash_dwarf_cfa_reg_rule_t reg_rule;
    T value;
    while (it.next(&dwarf_reg, &reg_rule, &value)) {
        lvcrash_regnum_t target;
        const bool is_ra = dwarf_reg == cie_info->return_address_register;
        if (!lvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &target)) {
            if (!is_ra) return LVCRASH_ERROR_INVALID_ARGUMENT;
            target = LVCRASH_REG_IP;
        }
        T out = 0;
        switch (reg_rule) {
            case DW_CFA_STATE_REG_RULE_OFFSET:
                TRY(read_word<T>(task, static_cast<T>(cfa + value), &out));
                break;
            case DW_CFA_STATE_REG_RULE_VAL_OFFSET: out = static_cast<T>(cfa + value); break;
            case DW_CFA_STATE_REG_RULE_REGISTER: {
                lvcrash_regnum_t source;
                if (!lvcrash_async_thread_state_map_dwarf_to_reg(thread_state, static_cast<std::uint64_t>(value), &source))
                    return LVCRASH_ERROR_INVALID_ARGUMENT;
                if (!lvcrash_async_thread_state_has_reg(thread_state, source)) return LVCRASH_ERROR_NOT_FOUND;
                out = static_cast<T>(lvcrash_async_thread_state_get_reg(thread_state, source));
                break;
            }
            case DW_CFA_STATE_REG_RULE_EXPRESSION:
            case DW_CFA_STATE_REG_RULE_VAL_EXPRESSION: {
                std::uint64_t length;
                std::size_t size;
                // The length prefix: from a short copy when readable, else from a mapped page.
                alignas(8) std::uint8_t prefix[10];
                lvcrash_async_mobject prefix_mobj;
                if (lvcrash_async_mobject_local_copy(&prefix_mobj, task, value, sizeof prefix, prefix, sizeof prefix))
                    TRY(lvcrash_async_dwarf_read_uleb128(&prefix_mobj, value, 0, &length, &size));
                else
                    TRY(lvcrash_async_dwarf_read_task_uleb128(task, value, 0, &length, &size));
                const T initial[1] = {cfa};
                TRY((eval_task_expression<T, S>(task, thread_state, byteorder, value + size, length, initial, 1, &out)));
                if (reg_rule == DW_CFA_STATE_REG_RULE_EXPRESSION) TRY(read_word<T>(task, out, &out));
                break;
            }
            case DW_CFA_STATE_REG_RULE_UNDEFINED_RETURN: return LVCRASH_ERROR_NOT_FOUND;
            case DW_CFA_STATE_REG_RULE_SAME_VALUE:
                if (!lvcrash_async_thread_state_has_reg(thread_state, target)) return LVCRASH_ERROR_NOT_FOUND;
                out = static_cast<T>(lvcrash_async_thread_state_get_reg(thread_state, target));
                break;
            default: return LVCRASH_ERROR_INVALID_ARGUMENT;
        }
        lvcrash_async_thread_state_set_reg(new_thread_state, target, out);
        if (is_ra && target != LVCRASH_REG_IP) lvcrash_async_thread_state_set_reg(new_thread_state, LVCRASH_REG_IP, out);
    }

    if (!lvcrash_async_thread_state_has_reg(new_thread_state, LVCRASH_REG_IP)) {
        if (!ra_maps) return LVCRASH_ERROR_INVALID_ARGUMENT;
        if (!lvcrash_async_thread_state_has_reg(thread_state, ra_generic)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        lvcrash_async_thread_state_set_reg(new_thread_state, LVCRASH_REG_IP,
                                           lvcrash_async_thread_state_get_reg(thread_state, ra_generic));
    }
    return LVCRASH_ERROR_NONE;
}

// ---- Expressions ----

template <typename T, typename S>
lvcrash_error_t lvcrash_async_dwarf_expression_eval(const lvcrash_async_mobject* mobj, task_t task,
                                                    const lvcrash_async_thread_state* thread_state,
                                                    const RDlvcrash_async_byteorder* byteorder,
                                                    lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                    lvcrash_vm_off_t length, const T* initial_stack,
                                                    std::size_t initial_count, T* result) {
    lvcrash_async_dwarf_opstream stream;
    TRY(lvcrash_async_dwarf_opstream_init(&stream, mobj, byteorder, address, offset, length));
    Ops ops{&stream};
    constexpr std::size_t capacity = 100;
    T stack[capacity];
    std::size_t depth = 0;
    constexpr unsigned bits = sizeof(T) * 8;

    const auto push = [&](T v) {
        if (depth >= capacity) return LVCRASH_ERROR_INTERNAL;
        stack[depth++] = v;
        return LVCRASH_ERROR_NONE;
    };
    const auto pop = [&](T* v, lvcrash_error_t empty) {
        if (depth == 0) return empty;
        *v = stack[--depth];
        return LVCRASH_ERROR_NONE;
    };
    for (std::size_t i = 0; i < initial_count; ++i) TRY(push(initial_stack[i]));

    const auto read_sized = [&](T address_value, std::uint8_t size, T* out) {
        std::uint64_t raw = 0;
        TRY(lvcrash_async_task_memcpy(task, address_value, 0, &raw, size));
        if (size == 2) raw = byteorder->swap16(static_cast<std::uint16_t>(raw));
        else if (size == 4) raw = byteorder->swap32(static_cast<std::uint32_t>(raw));
        else if (size == 8) raw = byteorder->swap64(raw);
        *out = static_cast<T>(raw);
        return LVCRASH_ERROR_NONE;
    };
    const auto breg = [&](std::uint64_t dwarf, std::int64_t off) {
        lvcrash_regnum_t reg;
        if (!lvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf, &reg)) return LVCRASH_ERROR_NOT_SUPPORTED;
        if (!lvcrash_async_thread_state_has_reg(thread_state, reg)) return LVCRASH_ERROR_NOT_FOUND;
        return push(static_cast<T>(lvcrash_async_thread_state_get_reg(thread_state, reg) + static_cast<std::uint64_t>(off)));
    };
    const auto jump = [&](std::int16_t delta) {
        const std::int64_t target = static_cast<std::int64_t>(stream.position - stream.start) + delta;
        if (target < 0 || static_cast<std::uint64_t>(target) > stream.end - stream.start)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        stream.position = stream.start + static_cast<std::uint64_t>(target);
        return LVCRASH_ERROR_NONE;
    };

    while (stream.position < stream.end) {
        std::uint8_t op;
        TRY(ops.u8(&op));
        if (op >= 0x30 && op <= 0x4F) {
            TRY(push(static_cast<T>(op - 0x30)));
            continue;
        }
        if (op >= 0x70 && op <= 0x8F) {
            std::int64_t off;
            TRY(ops.sleb(&off));
            TRY(breg(op - 0x70u, off));
            continue;
        }
        T a = 0, b = 0, c = 0;
        switch (op) {
            case 0x06:
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                TRY(read_sized(a, sizeof(T), &a));
                TRY(push(a));
                break;
            case 0x08: {
                std::uint8_t v;
                TRY(ops.u8(&v));
                TRY(push(static_cast<T>(v)));
                break;
            }
            case 0x09: {
                std::uint8_t v;
                TRY(ops.u8(&v));
                TRY(push(static_cast<T>(static_cast<std::int8_t>(v))));
                break;
            }
            case 0x0A:
            case 0x0B: {
                std::uint16_t v;
                TRY(ops.u16(&v));
                TRY(push(op == 0x0B ? static_cast<T>(static_cast<std::int16_t>(v)) : static_cast<T>(v)));
                break;
            }
            case 0x0C:
            case 0x0D: {
                std::uint32_t v;
                TRY(ops.u32(&v));
                TRY(push(op == 0x0D ? static_cast<T>(static_cast<std::int32_t>(v)) : static_cast<T>(v)));
                break;
            }
            case 0x0E:
            case 0x0F: {
                std::uint64_t v;
                TRY(ops.u64(&v));
                TRY(push(static_cast<T>(v)));
                break;
            }
            case 0x10: {
                std::uint64_t v;
                TRY(ops.uleb(&v));
                TRY(push(static_cast<T>(v)));
                break;
            }
            case 0x11: {
                std::int64_t v;
                TRY(ops.sleb(&v));
                TRY(push(static_cast<T>(v)));
                break;
            }
            case 0x12:
                if (depth == 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
                if (depth >= capacity) return LVCRASH_ERROR_INVALID_ARGUMENT;
                stack[depth] = stack[depth - 1];
                depth++;
                break;
            case 0x13: TRY(pop(&a, LVCRASH_ERROR_INVALID_ARGUMENT)); break;
            case 0x14:
                if (depth < 2) return LVCRASH_ERROR_INVALID_ARGUMENT;
                if (depth < capacity) {
                    stack[depth] = stack[depth - 2];
                    depth++;
                }
                break;
            case 0x15: {
                std::uint8_t index;
                TRY(ops.u8(&index));
                if (index >= depth) return LVCRASH_ERROR_INVALID_ARGUMENT;
                if (depth < capacity) {
                    stack[depth] = stack[depth - 1 - index];
                    depth++;
                }
                break;
            }
            case 0x16:
                if (depth < 2) return LVCRASH_ERROR_INVALID_ARGUMENT;
                a = stack[depth - 1];
                stack[depth - 1] = stack[depth - 2];
                stack[depth - 2] = a;
                break;
            case 0x17:
                if (depth < 3) return LVCRASH_ERROR_INVALID_ARGUMENT;
                a = stack[depth - 1];
                stack[depth - 1] = stack[depth - 2];
                stack[depth - 2] = stack[depth - 3];
                stack[depth - 3] = a;
                break;
            case 0x18:
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                TRY(pop(&b, LVCRASH_ERROR_INTERNAL));
                TRY(read_sized(a, sizeof(T), &a));
                TRY(push(a));
                break;
            case 0x19:
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                TRY(push(static_cast<S>(a) < 0 ? static_cast<T>(T{0} - a) : a));
                break;
            case 0x1F:
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                TRY(push(static_cast<T>(T{0} - a)));
                break;
            case 0x20:
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                TRY(push(static_cast<T>(~a)));
                break;
            case 0x23: {
                std::uint64_t v;
                TRY(ops.uleb(&v));
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                TRY(push(static_cast<T>(a + v)));
                break;
            }
            case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x21: case 0x22: case 0x24: case 0x25:
            case 0x26: case 0x27: case 0x29: case 0x2A: case 0x2B: case 0x2C: case 0x2D: case 0x2E: {
                TRY(pop(&b, LVCRASH_ERROR_INTERNAL));  // top
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                const S sa = static_cast<S>(a), sb = static_cast<S>(b);
                switch (op) {
                    case 0x1A: c = a & b; break;
                    case 0x1B:
                        if (b == 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
                        // Signed, as DWARF defines it; the one overflowing quotient wraps.
                        c = (sb == -1) ? static_cast<T>(T{0} - a) : static_cast<T>(sa / sb);
                        break;
                    case 0x1C: c = static_cast<T>(a - b); break;
                    case 0x1D:
                        if (b == 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
                        c = a % b;
                        break;
                    case 0x1E: c = static_cast<T>(a * b); break;
                    case 0x21: c = a | b; break;
                    case 0x22: c = static_cast<T>(a + b); break;
                    case 0x24: c = static_cast<T>(a << (b % bits)); break;
                    case 0x25: c = static_cast<T>(a >> (b % bits)); break;
                    case 0x26: c = static_cast<T>(sa >> (b % bits)); break;
                    case 0x27: c = a ^ b; break;
                    case 0x29: c = a == b; break;
                    case 0x2A: c = sa >= sb; break;
                    case 0x2B: c = sa > sb; break;
                    case 0x2C: c = sa <= sb; break;
                    case 0x2D: c = sa < sb; break;
                    case 0x2E: c = a != b; break;
                }
                TRY(push(c));
                break;
            }
            case 0x28: {
                std::uint16_t raw;
                TRY(ops.u16(&raw));
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                if (a != 0) TRY(jump(static_cast<std::int16_t>(raw)));
                break;
            }
            case 0x2F: {
                std::uint16_t raw;
                TRY(ops.u16(&raw));
                TRY(jump(static_cast<std::int16_t>(raw)));
                break;
            }
            case 0x92: {
                std::uint64_t reg;
                std::int64_t off;
                TRY(ops.uleb(&reg));
                TRY(ops.sleb(&off));
                TRY(breg(reg, off));
                break;
            }
            case 0x94:
            case 0x95: {
                std::uint8_t size;
                TRY(ops.u8(&size));
                if (size != 1 && size != 2 && size != 4 && size != 8) return LVCRASH_ERROR_INVALID_ARGUMENT;
                TRY(pop(&a, LVCRASH_ERROR_INTERNAL));
                if (op == 0x95) TRY(pop(&b, LVCRASH_ERROR_INTERNAL));
                TRY(read_sized(a, size, &a));
                TRY(push(a));
                break;
            }
            case 0x96: break;
            default: return LVCRASH_ERROR_NOT_SUPPORTED;
        }
    }
    T top;
    TRY(pop(&top, LVCRASH_ERROR_INVALID_ARGUMENT));
    *result = top;
    return LVCRASH_ERROR_NONE;
}

template class dwarf_cfa_state<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state<std::uint64_t, std::int64_t>;
template class dwarf_cfa_state_iterator<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state_iterator<std::uint64_t, std::int64_t>;
template lvcrash_error_t lvcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
    const lvcrash_async_mobject*, task_t, const lvcrash_async_thread_state*, const RDlvcrash_async_byteorder*,
    lvcrash_vm_address_t, lvcrash_vm_off_t, lvcrash_vm_off_t, const std::uint32_t*, std::size_t, std::uint32_t*);
template lvcrash_error_t lvcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
    const lvcrash_async_mobject*, task_t, const lvcrash_async_thread_state*, const RDlvcrash_async_byteorder*,
    lvcrash_vm_address_t, lvcrash_vm_off_t, lvcrash_vm_off_t, const std::uint64_t*, std::size_t, std::uint64_t*);

}  // namespace lvcrash::RD::async
