// Blinky: a free-running counter and a 16-bit Galois LFSR drive the board's LEDs.
// The LFSR gives the placer some logic beyond a carry chain, so more tiles hold bits.
module blinky #(
    parameter integer LEDS = 5
) (
    input  wire            clk,
    output wire [LEDS-1:0] led
);
    reg [25:0] counter = 26'd0;
    reg [15:0] lfsr = 16'hACE1;

    always @(posedge clk) begin
        counter <= counter + 26'd1;
        // Step the LFSR once per visible blink so its pattern can be seen.
        if (counter[19:0] == 20'd0)
            lfsr <= {1'b0, lfsr[15:1]} ^ (lfsr[0] ? 16'hB400 : 16'h0000);
    end

    // Top LED bit: the slow counter; the others: LFSR taps, gated by the counter phase.
    assign led = {counter[25], lfsr[LEDS-2:0] & {(LEDS-1){counter[22]}}};
endmodule
