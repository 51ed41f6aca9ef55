; Hand-written functions for the analyser and disassembler tests. Assembled as a flat image at a
; fixed base; the table at the start gives the tests each function's address, in this order.
bits 32
org 0x00401000

%define KERNEL_SLEEP 0x7b001000   ; Sleep in the test's second module

functions:
  dd straight, shortjump, callnext, table_ja, table_jae, loopfn, farjump, stubcall
  dd anyexcept, onexcept, frame, gapfill, jumploop, longfn, comments, noreturn
  dd rt_any, rt_on, stub_sleep, tailtarget, thunk, throwing
  times 128 - ($ - functions) db 0

align 16
straight:                     ; five bytes and more of straight code
  push ebp
  mov ebp, esp
  sub esp, 16
  mov eax, [ebp+8]
  add eax, 3
  leave
  ret

align 16
shortjump:                    ; first instruction a short jump to a distant part
  jmp short .far
  times 40 db 0xcc
.far:
  xor eax, eax
  ret

align 16
callnext:                     ; call $+5 to learn the own address
  call .here
.here:
  pop eax
  ret

align 16
table_ja:                     ; compare with 7, jump if above: 8 entries
  mov eax, [esp+4]
  cmp eax, 7
  ja .default
  jmp [.table + eax*4]
.table:
  dd .c0, .c1, .c2, .c3, .c4, .c5, .c6, .c7
.c0: mov eax, 10
  ret
.c1: mov eax, 11
  ret
.c2: mov eax, 12
  ret
.c3: mov eax, 13
  ret
.c4: mov eax, 14
  ret
.c5: mov eax, 15
  ret
.c6: mov eax, 16
  ret
.c7: mov eax, 17
  ret
.default:
  xor eax, eax
  ret

align 16
table_jae:                    ; compare with 7, jump if above or equal: 7 entries
  mov ecx, [esp+4]
  cmp ecx, 7
  jae .default
  jmp [.table + ecx*4]
.table:
  dd .c0, .c1, .c2, .c3, .c4, .c5, .c6
.c0: inc eax
.c1: inc eax
.c2: inc eax
.c3: inc eax
.c4: inc eax
.c5: inc eax
.c6: inc eax
  ret
.default:
  or eax, -1
  ret

align 16
loopfn:                       ; a counted loop
  xor eax, eax
  mov ecx, [esp+4]
.again:
  add eax, ecx
  dec ecx
  jnz .again
  ret

align 16
farjump:                      ; a far jump and a tail call out of the function
  test eax, eax
  jz .tail
  jmp 0x0023:0x00900000
.tail:
  jmp tailtarget

align 16
stubcall:                     ; a call through an import stub
  push 100
  call stub_sleep
  ret

align 16
anyexcept:                    ; the except block follows the call
  call rt_any
  mov eax, 1
  ret

align 16
onexcept:                     ; a handler table follows the call
  call rt_on
  dd 2
  dd 0x00402000, .handler1
  dd 0, .handler2
.handler1:
  mov eax, 1
  ret
.handler2:
  mov eax, 2
  ret

align 16
frame:                        ; exception frame set-up: the pushed handler is code of the function
  push .handler
  push dword [fs:0]
  mov [fs:0], esp
  pop dword [fs:0]
  add esp, 4
  ret
.handler:
  mov eax, 1
  ret

align 16
gapfill:                      ; an indirect jump whose target only a gap fill finds
  mov eax, [esp+4]
  test eax, eax
  jz .done
  jmp eax
.reached:
  mov eax, 2
  ret
.done:
  ret

align 16
jumploop:                     ; jumps that only go round
.a:
  jmp short .b
.b:
  jmp short .a

align 16
longfn:                       ; a long function for the line limit
%rep 24
  add eax, ecx
%endrep
.crash:
  mov eax, [eax]
%rep 10
  sub eax, edx
%endrep
  ret

align 16
comments:                     ; names and texts as comments
  push message
  call stub_sleep
  mov eax, [counter]
  call straight
  ret

align 16
noreturn:                     ; a call that never returns, and the next function right behind it
  mov eax, [esp+4]
  call eax
  push ebp
  mov ebp, esp
  pop ebp
  ret

align 16
throwing:                     ; ends with a call of a routine that never returns, then the thunk
  push 1
  call tailtarget
thunk:                        ; a this-adjusting thunk: it jumps into a function in front of it
  sub dword [esp+4], 8
  jmp straight

align 16
rt_any:
  ret
align 16
rt_on:
  ret
align 16
stub_sleep:
  jmp [iat_sleep]
align 16
tailtarget:
  ret

align 16
iat_sleep:
  dd KERNEL_SLEEP
message:
  db "Cannot open the receiver: %s", 0
align 4
counter:
  dd 0
  times 256 db 0
